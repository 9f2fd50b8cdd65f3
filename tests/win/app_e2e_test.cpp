// The real TavrolinUpdater.exe, started as a user starts it and driven through its window:
// clicks, keys, the log list, message boxes and the About box, with simulated devices on
// virtual COM ports and the stand-in DFU tool beside it.
#include "program_dir.h"
#include "tests/support/sim_client.h"
#include "tests/support/ui_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int IDC_PROGRAM = 1001, IDC_EXIT = 1002, IDC_ABOUT = 1003, IDC_LOG = 1005;
const std::wstring VERSION_LINE = L"FWUpdater Version: 1.5\n";
const std::wstring ERROR_TITLE = L"PSU Updater: Error";
const std::vector<std::wstring> SUCCESS = {
    L"Tavrolin was found on COM2.\n", L"Current firmware version: V1.5\n",
    L"Burning in Progress.\n Do not unplug.\n", L"Programming complete.\n",
    L"Remove and reconnect the device.\n"};
const std::vector<std::wstring> NOT_FOUND = {
    L"Programming failed. This might be because the Tavrolin device\n",
    L"is not connected or the DFU device driver has not been installed.\n"};

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

// A key press posted to a control, so it passes the program's message loop like typing does.
void Key(HWND window, WPARAM key)
{
    PostMessageW(window, WM_KEYDOWN, key, 0);
    PostMessageW(window, WM_KEYUP, key, 0xC0000000);
}

class AppTest : public testing::Test {
protected:
    SimClient sim{};
    ProgramDir dir;
    PROCESS_INFORMATION process{};
    HWND main = nullptr;
    DWORD shownMs = 0; // process start to main window shown

    void SetUp() override
    {
        ASSERT_TRUE(SimConnect(sim));
        ASSERT_TRUE(Sim("reset"));
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(dir.Create(L"app-" + std::wstring(name.begin(), name.end())));
        dir.InstallUpdater();
    }
    void TearDown() override
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
    bool Sim(const std::string& command) { return SimCommand(sim, command.c_str(), nullptr); }

    // Starts the updater from `folder` as Explorer would and waits for its window.
    void Launch(const std::wstring& folder = L"")
    {
        StartProcess(folder.empty() ? dir.path : folder);
        DWORD start = GetTickCount();
        main = WaitForTopWindow(process.dwProcessId, L"USB3_FWUPDATE", L"Tavrolin Firmware Updater", 15000);
        ASSERT_NE(main, nullptr) << "the main window did not appear";
        shownMs = GetTickCount() - start;
    }
    void StartProcess(const std::wstring& folder)
    {
        std::wstring exe = folder + L"TavrolinUpdater.exe";
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        ASSERT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                   0, nullptr, folder.c_str(), &startup, &process));
    }
    HWND Control(int id) { return GetDlgItem(main, id); }
    std::vector<std::wstring> Log() { return ReadListBox(Control(IDC_LOG)); }
    bool ProgramEnabled() { return IsWindowEnabled(Control(IDC_PROGRAM)); }
    void Press(int id) { PostMessageW(Control(id), BM_CLICK, 0, 0); }
    // Presses PROGRAM and waits until the program has taken the press (PROGRAM disabled).
    void StartRun()
    {
        Press(IDC_PROGRAM);
        ASSERT_TRUE(WaitUntil([&] { return !ProgramEnabled(); }, 5000)) << "PROGRAM did not take the press";
    }

    // A mouse click at the centre of a control, as a person makes it.
    void MouseClick(int id)
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
    bool Exited(DWORD timeoutMs, DWORD* code)
    {
        if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0)
            return false;
        GetExitCodeProcess(process.hProcess, code);
        return true;
    }
    HWND ErrorBox(DWORD timeoutMs) { return WaitForTopWindow(process.dwProcessId, L"#32770", ERROR_TITLE.c_str(), timeoutMs); }
    HWND AboutBox(DWORD timeoutMs) { return WaitForTopWindow(process.dwProcessId, L"#32770", L"About", timeoutMs); }
    // Waits for the run to end (PROGRAM enabled again), dismissing and collecting its boxes.
    std::vector<BoxInfo> FinishRun(DWORD timeoutMs)
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
    void AddDevice(int port)
    {
        ASSERT_TRUE(Sim("add " + std::to_string(port)));
        ASSERT_TRUE(Sim("behave " + std::to_string(port) + " mode=identify version=15"));
    }
};

TEST_F(AppTest, ShowsTheVersionLineFirst)
{
    Launch();
    printf("[figures] process start to main window shown: %lu ms\n", shownMs);
    EXPECT_EQ(Log(), std::vector<std::wstring>{VERSION_LINE});
    EXPECT_TRUE(ProgramEnabled());
    LONG_PTR exStyle = GetWindowLongPtrW(main, GWL_EXSTYLE);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
}

// An updater in the root of a drive finds its neighbours there: C:\ with one backslash.
TEST_F(AppTest, RunsFromTheRootOfADrive)
{
    AddDevice(2);
    const std::wstring root = L"C:\\";
    const wchar_t* files[] = {L"TavrolinUpdater.exe", L"DfuSeCommand.exe", L"Tavrolin.dfu"};
    for (const wchar_t* file : files)
        ASSERT_TRUE(CopyFileW((dir.path + file).c_str(), (root + file).c_str(), FALSE));
    DeleteFileW(L"C:\\DfuSeCommand.log");
    Launch(root);
    StartRun();
    EXPECT_TRUE(FinishRun(20000).empty());
    EXPECT_EQ(Log(), Join({VERSION_LINE}, SUCCESS));
    ProgramDir rootDir;
    rootDir.path = root;
    std::vector<ToolStart> tool = rootDir.ToolStarts();
    ASSERT_EQ(tool.size(), 1u);
    EXPECT_NE(tool[0].cmdline.find(L" -c -d --fn \"C:\\Tavrolin.dfu\""), std::wstring::npos);
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD code = 0;
    EXPECT_TRUE(Exited(5000, &code));
    for (const wchar_t* file : files)
        DeleteFileW((root + file).c_str());
    DeleteFileW(L"C:\\DfuSeCommand.log");
}

TEST_F(AppTest, FullUpdate)
{
    ASSERT_TRUE(Sim("add 1"));
    AddDevice(2);
    Launch();
    StartRun();
    EXPECT_TRUE(FinishRun(20000).empty());
    EXPECT_EQ(Log(), Join({VERSION_LINE}, SUCCESS));
    ASSERT_EQ(dir.ToolStarts().size(), 1u);
    EXPECT_NE(dir.ToolStarts()[0].cmdline.find(L"-c -d --fn \"" + dir.path + L"Tavrolin.dfu\""), std::wstring::npos);
}

TEST_F(AppTest, NoDevice)
{
    Launch();
    StartRun();
    std::vector<BoxInfo> boxes = FinishRun(30000);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"No Velmoral Tavrolin device detected. This might be because the Tavrolin device is not "
                             L"connected or the DFU device driver has not been installed.");
    EXPECT_EQ(boxes[0].buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_EQ(boxes[0].owner, main);
    EXPECT_EQ(Log(), Join({VERSION_LINE}, NOT_FOUND));
}

TEST_F(AppTest, ToolMissing)
{
    AddDevice(2);
    dir.InstallTool(false);
    Launch();
    StartRun();
    std::vector<BoxInfo> boxes = FinishRun(20000);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, L"Failed to find DfuSeCommand.exe or firmware file.");
    EXPECT_EQ(boxes[1].text, L"Programming failed. This might be because the Tavrolin device is not connected or "
                             L"the DFU device driver has not been installed.");
    std::vector<std::wstring> expected = {VERSION_LINE, SUCCESS[0], SUCCESS[1], SUCCESS[2]};
    EXPECT_EQ(Log(), Join(expected, NOT_FOUND));
}

TEST_F(AppTest, TwoQuickClicksStartOneRun)
{
    AddDevice(2);
    Launch();
    MouseClick(IDC_PROGRAM);
    MouseClick(IDC_PROGRAM);
    ASSERT_TRUE(WaitUntil([&] { return !ProgramEnabled(); }, 2000)) << "the click did not reach PROGRAM";
    EXPECT_TRUE(FinishRun(20000).empty());
    Sleep(300);
    EXPECT_EQ(Log(), Join({VERSION_LINE}, SUCCESS));
    EXPECT_EQ(dir.ToolStarts().size(), 1u);
    std::vector<SimFrame> frames;
    ASSERT_TRUE(SimFrames(sim, 2, &frames));
    EXPECT_EQ(frames.size(), 2u) << "one identify and one enter-bootloader frame";
}

TEST_F(AppTest, TwoRunsKeepEveryLineInOrder)
{
    AddDevice(2);
    Launch();
    StartRun();
    FinishRun(20000);
    StartRun();
    FinishRun(20000);
    EXPECT_EQ(Log(), Join(Join({VERSION_LINE}, SUCCESS), SUCCESS));
}

TEST_F(AppTest, ExitDuringARunEndsAtOnceWithCodeZero)
{
    AddDevice(2);
    dir.ConfigureTool("delay_ms=20000\n");
    Launch();
    StartRun();
    ASSERT_TRUE(WaitUntil([&] { return !dir.ToolStarts().empty(); }, 10000)) << "the run did not reach the tool";
    DWORD start = GetTickCount(), code = 77;
    Press(IDC_EXIT);
    ASSERT_TRUE(Exited(5000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_LT(GetTickCount() - start, 5000u);
}

TEST_F(AppTest, ClosingTheWindowEndsTheProgram)
{
    Launch();
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD code = 77;
    ASSERT_TRUE(Exited(5000, &code));
    EXPECT_EQ(code, 0u);
}

TEST_F(AppTest, EscapeDoesNothing)
{
    Launch();
    Key(Control(IDC_ABOUT), VK_ESCAPE);
    Key(Control(IDC_LOG), VK_ESCAPE);
    DWORD code = 0;
    EXPECT_FALSE(Exited(700, &code));
    EXPECT_TRUE(IsWindowVisible(main));
}

TEST_F(AppTest, AboutBoxOpensAtTheClientOriginAndClosesEveryWay)
{
    Launch();
    struct Way {
        const char* name;
        void (*close)(HWND);
    };
    const Way ways[] = {
        {"OK", [](HWND about) { PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0); }},
        {"Enter", [](HWND about) { Key(GetDlgItem(about, IDOK), VK_RETURN); }},
        {"Esc", [](HWND about) { Key(GetDlgItem(about, IDOK), VK_ESCAPE); }},
        {"close button", [](HWND about) { PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        Press(IDC_ABOUT);
        HWND about = AboutBox(5000);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(GetWindow(about, GW_OWNER), main);
        EXPECT_FALSE(IsWindowEnabled(main)) << "the About box is modal";
        // The template's 0, 0 is the owner's client origin; the dialog manager puts the box's
        // client area there.
        POINT aboutOrigin = {0, 0}, mainOrigin = {0, 0};
        ClientToScreen(about, &aboutOrigin);
        ClientToScreen(main, &mainOrigin);
        EXPECT_EQ(aboutOrigin.x, mainOrigin.x);
        EXPECT_EQ(aboutOrigin.y, mainOrigin.y);
        BoxInfo info;
        ReadMessageBox(about, &info);
        EXPECT_EQ(info.title, L"About");
        EXPECT_TRUE(info.HasButton(L"OK"));
        EXPECT_TRUE(HasChildText(about, L"Version 1.5"));
        way.close(about);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }, 5000));
        EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(main) != 0; }, 2000));
    }
}

TEST_F(AppTest, RunLinesArriveWhileTheAboutBoxIsOpen)
{
    AddDevice(2);
    dir.ConfigureTool("delay_ms=500\n");
    Launch();
    StartRun();
    Press(IDC_ABOUT);
    HWND about = AboutBox(5000);
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return Log().size() == 6; }, 20000)) << "lines must keep arriving";
    EXPECT_TRUE(IsWindow(about));
    PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
    FinishRun(10000);
    EXPECT_EQ(Log(), Join({VERSION_LINE}, SUCCESS));
}

} // namespace
