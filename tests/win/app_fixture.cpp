#include "app_fixture.h"

#include <cctype>

std::vector<std::wstring> Join(std::vector<std::wstring> a, const std::vector<std::wstring>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool HasChildText(HWND parent, const std::wstring& text)
{
    struct Search {
        const std::wstring* text;
        bool found;
    } search = {&text, false};
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            wchar_t buffer[256] = {};
            SendMessageW(child, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(buffer));
            s->found |= *s->text == buffer;
            return !s->found;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Key(HWND window, WPARAM key)
{
    PostMessageW(window, WM_KEYDOWN, key, 0);
    PostMessageW(window, WM_KEYUP, key, 0xC0000000);
}

void AppTest::SetUp()
{
    ASSERT_TRUE(SimConnect(sim));
    ASSERT_TRUE(Sim("reset"));
    // Parameterized tests are named "Test/param": the folder name keeps letters, digits and '_'.
    std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_')
            c = '-';
    ASSERT_TRUE(dir.Create(L"app-" + std::wstring(name.begin(), name.end())));
    dir.InstallUpdater();
}

void AppTest::TearDown()
{
    if (process.hProcess) {
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 5000);
        }
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    // The updater leaves a running tool alone; the test must not leave it behind.
    for (const ToolStart& tool : dir.ToolStarts()) {
        if (HANDLE running = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, tool.pid)) {
            TerminateProcess(running, 1);
            WaitForSingleObject(running, 5000);
            CloseHandle(running);
        }
    }
    dir.Remove();
    Sim("reset");
    SimDisconnect(sim);
}

void AppTest::Launch(const std::wstring& folder)
{
    StartProcess(folder.empty() ? dir.path : folder);
    DWORD start = GetTickCount();
    main = WaitForTopWindow(process.dwProcessId, L"USB3_FWUPDATE", L"Tavrolin Firmware Updater", 15000);
    ASSERT_NE(main, nullptr) << "the main window did not appear";
    shownMs = GetTickCount() - start;
}

void AppTest::StartProcess(const std::wstring& folder)
{
    std::wstring exe = folder + L"TavrolinUpdater.exe";
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                               0, nullptr, folder.c_str(), &startup, &process));
}

void AppTest::StartRun()
{
    Press(IDC_PROGRAM);
    ASSERT_TRUE(WaitUntil([&] { return !ProgramEnabled(); }, 5000)) << "PROGRAM did not take the press";
}

void AppTest::MouseClick(int id)
{
    RECT r;
    GetWindowRect(Control(id), &r);
    SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof(INPUT));
}

bool AppTest::Exited(DWORD timeoutMs, DWORD* code)
{
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(process.hProcess, code);
    return true;
}

HWND AppTest::ErrorBox(DWORD timeoutMs)
{
    return WaitForTopWindow(process.dwProcessId, L"#32770", ERROR_TITLE.c_str(), timeoutMs);
}

HWND AppTest::AboutBox(DWORD timeoutMs)
{
    return WaitForTopWindow(process.dwProcessId, L"#32770", L"About", timeoutMs);
}

std::vector<BoxInfo> AppTest::FinishRun(DWORD timeoutMs)
{
    std::vector<BoxInfo> boxes;
    DWORD end = GetTickCount() + timeoutMs;
    while (GetTickCount() < end) {
        if (ProgramEnabled())
            break;
        if (HWND box = ErrorBox(50)) {
            BoxInfo info;
            ReadMessageBox(box, &info);
            EXPECT_FALSE(ProgramEnabled());
            boxes.push_back(info);
            DismissMessageBox(box);
        }
    }
    EXPECT_TRUE(ProgramEnabled()) << "the run did not end";
    return boxes;
}

void AppTest::AddDevice(int port)
{
    ASSERT_TRUE(Sim("add " + std::to_string(port)));
    ASSERT_TRUE(Sim("behave " + std::to_string(port) + " mode=identify version=15"));
}
