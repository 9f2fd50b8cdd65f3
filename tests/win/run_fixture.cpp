#include "run_fixture.h"

#include "expected_texts.h"

#include "app/resource.h"
#include "update/program.h"
#include "update/update_run.h"

#include <process.h>


double NowMs()
{
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return now.QuadPart * 1000.0 / freq.QuadPart;
}

namespace {

const wchar_t* const TEST_WINDOW_CLASS = L"UpdateRunTestWindow";

HWND FindErrorBox()
{
    HWND box = FindWindowW(L"#32770", ERROR_TITLE.c_str());
    return box && IsWindowVisible(box) ? box : nullptr;
}

} // namespace

bool RunFixture::SetUp(const std::wstring& name)
{
    if (!SimConnect(sim) || !Sim("reset"))
        return false;

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = TEST_WINDOW_CLASS;
    RegisterClassExW(&wc); // fails harmlessly when already registered
    window = CreateWindowExW(0, TEST_WINDOW_CLASS, L"Run test", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300,
                             nullptr, nullptr, wc.hInstance, nullptr);
    log = CreateWindowExW(0, L"LISTBOX", nullptr, WS_CHILD | WS_VISIBLE | LBS_NOTIFY | WS_VSCROLL, 10,
                          10, 300, 150, window, reinterpret_cast<HMENU>(IDC_LOG), wc.hInstance, nullptr);
    program = CreateWindowExW(0, L"BUTTON", L"PROGRAM", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 320, 10,
                              70, 20, window, reinterpret_cast<HMENU>(IDC_PROGRAM), wc.hInstance, nullptr);
    if (!window || !log || !program)
        return false;
    MainWindow = window;

    if (!dir.Create(L"run-" + name))
        return false;
    wcsncpy_s(ProgramDirectory, PROGRAM_DIRECTORY_CHARS, dir.path.c_str(), _TRUNCATE);
    return true;
}

void RunFixture::TearDown()
{
    if (window)
        DestroyWindow(window);
    window = nullptr;
    dir.Remove();
    Sim("reset");
    SimDisconnect(sim);
}

bool RunFixture::Sim(const std::string& command)
{
    std::string reply;
    bool ok = SimCommand(sim, command.c_str(), &reply);
    if (!ok)
        fprintf(stderr, "simulator refused '%s': %s\n", command.c_str(), reply.c_str());
    return ok;
}

RunOutcome RunFixture::Run(DWORD timeoutMs)
{
    RunOutcome outcome;
    outcome.startMs = NowMs();
    EnableWindow(program, FALSE); // as the PROGRAM handler does before it starts the run
    _beginthread(UpdateRun, 0, window);
    double deadline = outcome.startMs + timeoutMs;
    while (NowMs() < deadline) {
        DWORD left = static_cast<DWORD>(deadline - NowMs());
        WaitUntil([&] { return FindErrorBox() || IsWindowEnabled(program); }, left);
        if (HWND box = FindErrorBox()) {
            SeenBox seen;
            seen.shownMs = NowMs();
            ReadMessageBox(box, &seen.info);
            seen.logLinesWhenShown = ReadListBox(log).size();
            seen.programEnabledWhenShown = IsWindowEnabled(program);
            outcome.boxes.push_back(seen);
            DismissMessageBox(box);
            continue;
        }
        if (IsWindowEnabled(program)) {
            outcome.ended = true;
            break;
        }
    }
    outcome.endMs = NowMs();
    outcome.log = ReadListBox(log);
    return outcome;
}
