// Benchmark driver for scripts/bench. Starts TavrolinUpdater.exe from a program folder (the
// updater, the stand-in DFU tool and a firmware file), presses its buttons and reads its log
// as a person would, sets up the simulated devices, and stamps each event when it is first
// seen, polling every millisecond. Prints raw samples, one a line, for the script to aggregate:
//   sample KEY MILLISECONDS
// Every stamp is Unix microseconds of the system clock (GetSystemTimePreciseAsFileTime): the
// clock the device simulator stamps its frames and the stand-in its start and exit with.
//
//   bench PROGRAM_DIR REPEATS       DEVSIM_PORT_FILE names the simulator's port file
//
// The measurements go in REPEATS rounds of all of them (see Round). Keys, one sample per round
// (the silent-port ones one per silent port):
//   found_kK              PROGRAM press to the "found" line, K silent ports before the device
//   press_to_disabled     press to PROGRAM disabled: the press taken (device on COM1)
//   press_to_identify     press to the identify frame at the device (device on COM1)
//   reply_to_found        the device's reply written to the "found" line
//   silent_port_period    identify frame on one silent port to the frame on the next port
//   found_to_dfu          "found" line to the enter-bootloader frame at the device
//   dfu_to_tool           enter-bootloader frame to the tool's first instruction
//   dfu_to_burning        enter-bootloader frame to the "Burning" line
//   burning_to_tool       the "Burning" line to the tool's first instruction
//   tool_exit_seen        the tool's last instruction to its process handle signalled here
//   tool_exit_to_complete the tool's last instruction to "Programming complete." (device gone
//                         by then, as a real one is; _stay: its port still answers the close)
//   complete_to_ready     "Programming complete." to PROGRAM enabled again
//   notfound20            press to the error box, 20 silent ports and no device
//   last_port_to_box      identify frame on the 20th silent port to the error box
//   box_to_ready          the box answered to PROGRAM enabled again
//   startup               CreateProcess to the main window visible
//   startup_ref           the same for a bare window (bench-window.exe): Wine's floor
//   process_start_ref     CreateProcess to the stand-in's first instruction (Wine's floor)
//   shell_start_ref       the same through ShellExecuteEx, hidden, as the updater starts it
//   exit_seen_ref         the stand-in's last instruction to its handle signalled (Wine's floor)
//   port_open_ref         open and configure a silent COM port with the engine's Win32 calls
//   port_close_ref        cancel its read and modem wait and close it, the same way
//   engine_open_ref       the program's serial engine: port object made, opened, thread running
//   engine_close_ref      its Close after a 100 ms reply wait, reads in flight
//   engine_release_ref    freeing the closed port object
//   link_send_to_accept   the device link and engine alone: identify sent to reply accepted
//   link_reply_to_accept  the same: the device's reply written to accepted
// Exit code 0 when every run went as expected; 1 otherwise, with the reason on stderr.
#include "app/resource.h"
#include "link/device_link.h"
#include "serial/serial_port.h"
#include "tests/support/sim_client.h"
#include "tests/support/ui_helpers.h"
#include "tests/support/win_util.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t* const MAIN_CLASS = L"USB3_FWUPDATE";
const wchar_t* const MAIN_TITLE = L"Tavrolin Firmware Updater";
const wchar_t* const ERROR_TITLE = L"PSU Updater: Error";
const wchar_t* const BARE_WINDOW_CLASS = L"BenchBareWindow";
const wchar_t* const FOUND_PREFIX = L"Tavrolin was found on COM";
const wchar_t* const BURNING_LINE = L"Burning in Progress.\n Do not unplug.\n";
const wchar_t* const COMPLETE_LINE = L"Programming complete.\n";
const wchar_t* const FAILED_PREFIX = L"Programming failed.";
constexpr int PORT_COUNT = 20;
constexpr DWORD RUN_TIMEOUT_MS = 30000;
constexpr DWORD WINDOW_TIMEOUT_MS = 20000;
constexpr DWORD EXIT_TIMEOUT_MS = 5000;
constexpr UINT SEND_TIMEOUT_MS = 5000;
// Long enough for this driver to open the tool's process before it ends; a real flash takes
// seconds.
const char* const TOOL_CONFIG = "delay_ms=100\n";

SimClient sim;

bool Fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("bench: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return false;
}

void Sample(const char* key, int64_t fromUs, int64_t toUs)
{
    printf("sample %s %.3f\n", key, static_cast<double>(toUs - fromUs) / 1000.0);
    fflush(stdout);
}

bool Sim(const char* format, ...)
{
    char line[128];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::string reply;
    if (SimCommand(sim, line, &reply))
        return true;
    return Fail("simulator: %s -> %s", line, reply.c_str());
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += c == L'\n' ? '|' : c < 128 ? static_cast<char>(c) : '?';
    return out;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The program folder as given on the command line, with a trailing backslash.
std::wstring ProgramFolder(const wchar_t* arg)
{
    std::wstring path = DosPath(arg);
    if (path.back() != L'\\')
        path += L'\\';
    return path;
}

// ---- the stand-in DFU tool's log ----

struct ToolRecord {
    int64_t startUs = 0;
    int64_t exitUs = 0; // 0 until the tool has reached its ExitProcess
    DWORD pid = 0;
    bool complete = false; // the record's closing "end" is there
};

// The last start recorded in DfuSeCommand.log, with the exit line that follows it.
ToolRecord LastToolRecord(const std::wstring& dir)
{
    ToolRecord record;
    const std::string text = ReadTextFile(dir + L"DfuSeCommand.log");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            break; // a line still being written
        const std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        const char* value = line.c_str() + line.find('=') + 1;
        if (line.rfind("start_us=", 0) == 0)
            record = ToolRecord{_strtoi64(value, nullptr, 10), 0, 0, false};
        else if (line.rfind("pid=", 0) == 0)
            record.pid = strtoul(value, nullptr, 10);
        else if (line == "end")
            record.complete = true;
        else if (line.rfind("exit_us=", 0) == 0)
            record.exitUs = _strtoi64(value, nullptr, 10);
    }
    return record;
}

// A tool this driver's runs left running (only after a failure) must not outlive the bench.
void EndLeftoverTool(const std::wstring& dir)
{
    ToolRecord tool = LastToolRecord(dir);
    if (tool.pid == 0 || tool.exitUs != 0)
        return;
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, tool.pid)) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, EXIT_TIMEOUT_MS);
        CloseHandle(process);
    }
}

// ---- the updater's process and window ----

struct Updater {
    PROCESS_INFORMATION process{};
    HWND main = nullptr;
    HWND log = nullptr;
    HWND program = nullptr;
};

// Started as Explorer starts it: from its own folder.
bool StartProcess(const std::wstring& dir, const wchar_t* exeName, const wchar_t* args, PROCESS_INFORMATION* out,
                  int64_t* startUs)
{
    std::wstring exe = dir + exeName;
    std::wstring commandLine = L"\"" + exe + L"\"" + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    *startUs = UnixMicrosNow();
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &startup,
                        out))
        return Fail("cannot start %ls (error %lu)", exe.c_str(), GetLastError());
    return true;
}

HWND VisibleMainWindow(DWORD pid)
{
    for (HWND w = FindWindowExW(nullptr, nullptr, MAIN_CLASS, MAIN_TITLE); w;
         w = FindWindowExW(nullptr, w, MAIN_CLASS, MAIN_TITLE)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == pid && IsWindowVisible(w))
            return w;
    }
    return nullptr;
}

bool LaunchUpdater(const std::wstring& dir, Updater* u, int64_t* startUs, int64_t* shownUs)
{
    if (!StartProcess(dir, L"TavrolinUpdater.exe", L"", &u->process, startUs))
        return false;
    const ULONGLONG deadline = GetTickCount64() + WINDOW_TIMEOUT_MS;
    while (!(u->main = VisibleMainWindow(u->process.dwProcessId))) {
        if (GetTickCount64() > deadline)
            return Fail("the main window did not appear");
        Sleep(1);
    }
    *shownUs = UnixMicrosNow();
    u->log = GetDlgItem(u->main, IDC_LOG);
    u->program = GetDlgItem(u->main, IDC_PROGRAM);
    return (u->log && u->program) || Fail("the log or PROGRAM is missing");
}

bool CloseUpdater(Updater* u)
{
    if (!u->process.hProcess)
        return true;
    if (u->main)
        PostMessageW(u->main, WM_SYSCOMMAND, SC_CLOSE, 0);
    bool exited = WaitForSingleObject(u->process.hProcess, EXIT_TIMEOUT_MS) == WAIT_OBJECT_0;
    if (!exited) {
        TerminateProcess(u->process.hProcess, 1);
        WaitForSingleObject(u->process.hProcess, EXIT_TIMEOUT_MS);
    }
    CloseHandle(u->process.hProcess);
    CloseHandle(u->process.hThread);
    *u = Updater{};
    return exited || Fail("the updater did not exit when its window was closed");
}

LRESULT ListCount(HWND list)
{
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &count))
        return -1;
    return static_cast<LRESULT>(count);
}

// One item of the log; only new items are read, so that a long log does not slow the polling.
std::wstring ListItem(HWND list, LRESULT index)
{
    DWORD_PTR length = 0;
    const WPARAM i = static_cast<WPARAM>(index);
    if (!SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length) ||
        static_cast<LRESULT>(length) == LB_ERR)
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             SEND_TIMEOUT_MS, &got) ||
        static_cast<LRESULT>(got) == LB_ERR)
        return {};
    text.resize(got <= length ? got : length);
    return text;
}

// ---- one run, as seen from outside ----

struct Seen {
    int64_t pressUs = 0;
    int64_t busyUs = 0; // PROGRAM disabled: the press has been taken
    int64_t foundUs = 0;
    int64_t burningUs = 0;
    int64_t completeUs = 0;
    int64_t failedUs = 0;
    int64_t boxUs = 0;
    int64_t boxAnsweredUs = 0;
    int64_t readyUs = 0;    // PROGRAM enabled again: the run has ended
    int64_t toolGoneUs = 0; // the tool's process handle signalled
    std::wstring foundLine;
    std::wstring boxText;
};

void NoteLine(Seen* s, const std::wstring& line, int64_t us)
{
    if (StartsWith(line, FOUND_PREFIX) && !s->foundUs) {
        s->foundUs = us;
        s->foundLine = line;
    } else if (line == BURNING_LINE && !s->burningUs) {
        s->burningUs = us;
    } else if (line == COMPLETE_LINE && !s->completeUs) {
        s->completeUs = us;
    } else if (StartsWith(line, FAILED_PREFIX) && !s->failedUs) {
        s->failedUs = us;
    }
}

struct ToolWatch {
    HANDLE process = nullptr;
    bool tried = false;
};

// Once the run has said it is burning, the tool is (about to be) running: its handle tells
// when it has ended as any other process would see it.
void WatchTool(const std::wstring& dir, Seen* s, ToolWatch* tool)
{
    if (!s->burningUs || s->toolGoneUs)
        return;
    if (!tool->process && !tool->tried) {
        ToolRecord record = LastToolRecord(dir);
        if (!record.complete)
            return;
        tool->tried = true;
        tool->process = OpenProcess(SYNCHRONIZE, FALSE, record.pid);
    }
    if (tool->process && WaitForSingleObject(tool->process, 0) == WAIT_OBJECT_0)
        s->toolGoneUs = UnixMicrosNow();
}

void AnswerBox(DWORD pid, Seen* s)
{
    HWND box = WaitForTopWindow(pid, L"#32770", ERROR_TITLE, 0);
    if (!box)
        return;
    s->boxUs = UnixMicrosNow();
    BoxInfo info;
    ReadMessageBox(box, &info);
    s->boxText = info.text;
    s->boxAnsweredUs = UnixMicrosNow();
    DismissMessageBox(box, IDOK);
}

// Presses PROGRAM and follows the run until PROGRAM is enabled again, every millisecond.
// Each stamp is taken right after the look that saw the event.
bool FollowRun(const Updater& u, const std::wstring& dir, bool expectBox, Seen* s)
{
    LRESULT lines = ListCount(u.log);
    ToolWatch tool;
    bool busy = false;
    unsigned polls = 0;
    s->pressUs = UnixMicrosNow();
    PostMessageW(u.program, BM_CLICK, 0, 0);
    const ULONGLONG deadline = GetTickCount64() + RUN_TIMEOUT_MS;
    for (;;) {
        LRESULT count = ListCount(u.log);
        int64_t now = UnixMicrosNow();
        for (; lines < count; lines++)
            NoteLine(s, ListItem(u.log, lines), now);
        bool enabled = IsWindowEnabled(u.program) != FALSE;
        if (!enabled && !busy) {
            busy = true;
            s->busyUs = UnixMicrosNow();
        } else if (enabled && busy) {
            s->readyUs = UnixMicrosNow();
            break;
        }
        WatchTool(dir, s, &tool);
        // Looking for a box walks all windows: in a run that should show none, only now and then.
        if (!s->boxUs && (expectBox || ++polls % 50 == 0))
            AnswerBox(u.process.dwProcessId, s);
        if (GetTickCount64() > deadline) {
            Fail("the run did not end within %lu ms", RUN_TIMEOUT_MS);
            break;
        }
        Sleep(1);
    }
    if (tool.process)
        CloseHandle(tool.process);
    return s->readyUs != 0;
}

// ---- device side ----

// The single identify frame each of ports 1..count received in the last run, by port.
bool SilentFrames(int count, std::vector<int64_t>* stamps)
{
    stamps->clear();
    for (int n = 1; n <= count; n++) {
        std::vector<SimFrame> frames;
        if (!SimFrames(sim, n, &frames) || frames.size() != 1 || frames[0].bytes.size() != 4 ||
            frames[0].bytes[2] != CMD_IDENTIFY)
            return Fail("silent COM%d did not receive exactly one identify frame", n);
        stamps->push_back(frames[0].us);
    }
    return true;
}

bool ClearPorts(int count)
{
    for (int n = 1; n <= count; n++)
        if (!Sim("clear %d", n))
            return false;
    return true;
}

bool AddSilentPorts(int count)
{
    if (!Sim("reset"))
        return false;
    for (int n = 1; n <= count; n++)
        if (!Sim("add %d", n))
            return false;
    return true;
}

// ---- the measured scenarios ----

struct DeviceTimes {
    int64_t identifyUs = 0;
    int64_t dfuUs = 0;
    int64_t replyUs = 0;
};

bool DeviceTimesOf(int port, DeviceTimes* t)
{
    std::vector<SimFrame> frames;
    std::vector<SimEvent> events;
    if (!SimFrames(sim, port, &frames) || !SimEvents(sim, port, &events))
        return Fail("cannot read the device's logs");
    if (frames.size() != 2 || frames[0].bytes.size() != 4 || frames[1].bytes.size() != 4 ||
        frames[0].bytes[2] != CMD_IDENTIFY || frames[1].bytes[2] != CMD_ENTER_DFU)
        return Fail("the device did not receive identify, then enter-bootloader");
    t->identifyUs = frames[0].us;
    t->dfuUs = frames[1].us;
    for (const SimEvent& e : events)
        if (e.word == "reply" && !t->replyUs)
            t->replyUs = e.us;
    return t->replyUs != 0 || Fail("the device did not reply");
}

bool CheckUpdate(const Seen& s, int device, const ToolRecord& tool)
{
    wchar_t expected[64];
    _snwprintf_s(expected, 64, _TRUNCATE, L"%ls%d.\n", FOUND_PREFIX, device);
    if (s.boxUs)
        return Fail("unexpected box: %s", Narrow(s.boxText).c_str());
    if (s.foundLine != expected)
        return Fail("found line \"%s\", expected COM%d", Narrow(s.foundLine).c_str(), device);
    if (!s.burningUs || !s.completeUs || s.failedUs)
        return Fail("the run did not complete");
    if (!tool.complete || !tool.exitUs)
        return Fail("the tool's start or exit is not in its log");
    return true;
}

// One whole update with `silent` silent ports before the device, which the port after them
// plays for this run. A device that stays keeps its port open through the close; otherwise it
// leaves for its bootloader 100 ms after the command, as a real one drops off the bus, and
// its port is then added again as a silent one.
bool UpdateRun(const Updater& u, const std::wstring& dir, int silent, bool deviceStays)
{
    const int device = silent + 1;
    if (!ClearPorts(device) ||
        !Sim("behave %d mode=identify version=15 %s", device, deviceStays ? "dfu=ignore" : "dfu=hangup dfudelay=100"))
        return false;
    DeleteFileW((dir + L"DfuSeCommand.log").c_str());
    Seen s;
    bool ended = FollowRun(u, dir, false, &s);
    ToolRecord tool = LastToolRecord(dir);
    DeviceTimes d;
    std::vector<int64_t> silentUs;
    if (!ended || !CheckUpdate(s, device, tool) || !DeviceTimesOf(device, &d) || !SilentFrames(silent, &silentUs))
        return false;
    if (deviceStays ? !Sim("behave %d", device) : !Sim("add %d", device))
        return false;

    if (deviceStays) {
        Sample("tool_exit_to_complete_stay", tool.exitUs, s.completeUs);
        return true;
    }
    char key[32];
    snprintf(key, sizeof key, "found_k%d", silent);
    Sample(key, s.pressUs, s.foundUs);
    if (silent == 0) {
        Sample("press_to_disabled", s.pressUs, s.busyUs);
        Sample("press_to_identify", s.pressUs, d.identifyUs);
    }
    Sample("reply_to_found", d.replyUs, s.foundUs);
    for (int i = 0; i < silent; i++)
        Sample("silent_port_period", silentUs[i], i + 1 < silent ? silentUs[i + 1] : d.identifyUs);
    Sample("found_to_dfu", s.foundUs, d.dfuUs);
    Sample("dfu_to_tool", d.dfuUs, tool.startUs);
    Sample("dfu_to_burning", d.dfuUs, s.burningUs);
    Sample("burning_to_tool", s.burningUs, tool.startUs);
    if (s.toolGoneUs)
        Sample("tool_exit_seen", tool.exitUs, s.toolGoneUs);
    Sample("tool_exit_to_complete", tool.exitUs, s.completeUs);
    Sample("complete_to_ready", s.completeUs, s.readyUs);
    return true;
}

bool NotFoundRun(const Updater& u, const std::wstring& dir)
{
    if (!ClearPorts(PORT_COUNT))
        return false;
    Seen s;
    std::vector<int64_t> silentUs;
    if (!FollowRun(u, dir, true, &s) || !SilentFrames(PORT_COUNT, &silentUs))
        return false;
    if (!s.boxUs || !s.failedUs || s.foundUs)
        return Fail("a search without a device did not end in the not-found box");
    Sample("notfound20", s.pressUs, s.boxUs);
    for (int i = 0; i + 1 < PORT_COUNT; i++)
        Sample("silent_port_period", silentUs[i], silentUs[i + 1]);
    Sample("last_port_to_box", silentUs[PORT_COUNT - 1], s.boxUs);
    Sample("box_to_ready", s.boxAnsweredUs, s.readyUs);
    return true;
}

// Waits for the stand-in started at `launchUs` and samples its start, and when its end was
// seen here, under `startKey` and `exitKey`.
bool SampleStandin(const std::wstring& dir, HANDLE process, int64_t launchUs, const char* startKey,
                   const char* exitKey)
{
    bool exited = WaitForSingleObject(process, RUN_TIMEOUT_MS) == WAIT_OBJECT_0;
    int64_t goneUs = UnixMicrosNow();
    if (!exited)
        TerminateProcess(process, 1);
    CloseHandle(process);
    ToolRecord tool = LastToolRecord(dir);
    if (!exited || !tool.complete || !tool.exitUs)
        return Fail("the stand-in did not run as configured");
    Sample(startKey, launchUs, tool.startUs);
    if (exitKey)
        Sample(exitKey, tool.exitUs, goneUs);
    return true;
}

// What Wine itself takes to start a process and to let others see its end: the stand-in,
// started directly, stamps its first and last instruction. Then the same start through the
// shell, hidden, the way the updater starts the tool.
bool ProcessReferenceRun(const std::wstring& dir)
{
    DeleteFileW((dir + L"DfuSeCommand.log").c_str());
    PROCESS_INFORMATION process{};
    int64_t launchUs = 0;
    if (!StartProcess(dir, L"DfuSeCommand.exe", L" -c", &process, &launchUs))
        return false;
    CloseHandle(process.hThread);
    if (!SampleStandin(dir, process.hProcess, launchUs, "process_start_ref", "exit_seen_ref"))
        return false;

    DeleteFileW((dir + L"DfuSeCommand.log").c_str());
    const std::wstring exe = dir + L"DfuSeCommand.exe";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = exe.c_str();
    info.lpParameters = L"-c";
    info.nShow = SW_HIDE;
    launchUs = UnixMicrosNow();
    if (!ShellExecuteExW(&info) || !info.hProcess)
        return Fail("the shell did not start the stand-in");
    return SampleStandin(dir, info.hProcess, launchUs, "shell_start_ref", nullptr);
}

// The Win32 calls the serial engine makes for one port, without its thread or the update
// logic: what opening and closing a silent port costs at the least.
bool PortReferenceRun(const wchar_t* name)
{
    int64_t openStartUs = UnixMicrosNow();
    HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return Fail("cannot open %ls (error %lu)", name, GetLastError());
    SetCommMask(port, EV_RING | EV_RLSD);
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 10;
    SetCommTimeouts(port, &timeouts);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(port, &dcb);
    int64_t openEndUs = UnixMicrosNow();

    OVERLAPPED read = {}, modem = {};
    read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    modem.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint8_t byte = 0;
    DWORD mask = 0, n = 0;
    bool readPending = !ReadFile(port, &byte, 1, nullptr, &read) && GetLastError() == ERROR_IO_PENDING;
    bool modemPending = !WaitCommEvent(port, &mask, &modem) && GetLastError() == ERROR_IO_PENDING;

    int64_t closeStartUs = UnixMicrosNow();
    SetCommMask(port, 0);
    CancelIoEx(port, nullptr);
    if (readPending)
        GetOverlappedResult(port, &read, &n, TRUE);
    if (modemPending)
        GetOverlappedResult(port, &modem, &n, TRUE);
    CloseHandle(port);
    int64_t closeEndUs = UnixMicrosNow();
    CloseHandle(read.hEvent);
    CloseHandle(modem.hEvent);
    Sample("port_open_ref", openStartUs, openEndUs);
    Sample("port_close_ref", closeStartUs, closeEndUs);
    return true;
}

struct EngineProbe {
    HANDLE started;
    HANDLE closed;
};

// Keeps a read in flight as the device link does: the port keeps polling the silent line.
void OnEngineEvent(SerialPort* port, void* user, int32_t kind)
{
    auto* probe = static_cast<EngineProbe*>(user);
    if (kind == SE_STARTED || kind == SE_DATA)
        port->RequestRead(1);
    if (kind == SE_STARTED)
        SetEvent(probe->started);
    else if (kind == SE_CLOSED)
        SetEvent(probe->closed);
}

// The program's serial engine on one silent port, as a search uses it: the port object made,
// opened until its I/O thread runs, left reading for the reply wait, closed and freed.
bool EngineReferenceRun(const wchar_t* name)
{
    EngineProbe probe = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    int64_t openStartUs = UnixMicrosNow();
    SerialPort* port = CreateSerialPort();
    bool ok = port != nullptr;
    if (ok) {
        port->callback = OnEngineEvent;
        port->user = &probe;
        ok = port->Open(name) == OPEN_OK && WaitForSingleObject(probe.started, EXIT_TIMEOUT_MS) == WAIT_OBJECT_0;
    }
    int64_t openEndUs = UnixMicrosNow();
    Sleep(100);
    int64_t closeStartUs = UnixMicrosNow();
    if (port)
        port->Close();
    int64_t closeEndUs = UnixMicrosNow();
    bool released = ReleaseSerialPort(port, EXIT_TIMEOUT_MS);
    int64_t releaseEndUs = UnixMicrosNow();
    ok = ok && WaitForSingleObject(probe.closed, 0) == WAIT_OBJECT_0 && released;
    CloseHandle(probe.started);
    CloseHandle(probe.closed);
    if (!ok)
        return Fail("the serial engine did not open and close %ls", name);
    Sample("engine_open_ref", openStartUs, openEndUs);
    Sample("engine_close_ref", closeStartUs, closeEndUs);
    Sample("engine_release_ref", closeEndUs, releaseEndUs);
    return true;
}

// The device link and the serial engine alone, without the update run or a window: the
// identify command sent and the device's reply accepted, on a port that answers.
bool LinkReferenceRun(int number)
{
    wchar_t name[16];
    _snwprintf_s(name, 16, _TRUNCATE, L"COM%d", number);
    if (!Sim("clear %d", number) || !Sim("behave %d mode=identify version=15", number))
        return false;
    DeviceLink* link = new DeviceLink();
    link->Create();
    SerialPort* port = CreateSerialPort();
    bool ok = port != nullptr;
    int64_t sendUs = 0, acceptedUs = 0;
    if (ok) {
        link->PrepareForPort(port);
        port->user = link;
        port->callback = DeviceLinkCallback;
        ok = port->Open(name) == OPEN_OK;
    }
    if (ok) {
        CommandFrame frame = MakeCommandFrame(CMD_IDENTIFY);
        sendUs = UnixMicrosNow();
        port->Send(frame.bytes, COMMAND_FRAME_SIZE);
        ok = WaitForSingleObject(link->writeComplete, 1000) == WAIT_OBJECT_0 &&
             WaitForSingleObject(link->frameReady, 1000) == WAIT_OBJECT_0;
        acceptedUs = UnixMicrosNow();
    }
    if (port)
        port->Close();
    // A port whose thread still runs reports into the link: both must then stay.
    if (ReleaseSerialPort(port, EXIT_TIMEOUT_MS)) {
        link->Destroy();
        delete link;
    }
    std::vector<SimEvent> events;
    if (!ok || !SimEvents(sim, number, &events) || !Sim("behave %d", number))
        return Fail("the link did not get the device's reply on %ls", name);
    int64_t replyUs = 0;
    for (const SimEvent& e : events)
        if (e.word == "reply" && !replyUs)
            replyUs = e.us;
    if (!replyUs)
        return Fail("the device did not reply on %ls", name);
    Sample("link_send_to_accept", sendUs, acceptedUs);
    Sample("link_reply_to_accept", replyUs, acceptedUs);
    return true;
}

// The least a windowed program does before its window shows (bench-window.exe beside this
// driver): the floor of the updater's start-up.
bool BareWindowRun()
{
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return Fail("cannot find the driver's own folder");
    std::wstring here = self;
    here.resize(here.rfind(L'\\') + 1);
    PROCESS_INFORMATION process{};
    int64_t startUs = 0;
    if (!StartProcess(here, L"bench-window.exe", L"", &process, &startUs))
        return false;
    HWND window = nullptr;
    const ULONGLONG deadline = GetTickCount64() + WINDOW_TIMEOUT_MS;
    while (!(window = WaitForTopWindow(process.dwProcessId, BARE_WINDOW_CLASS, nullptr, 0)) &&
           GetTickCount64() < deadline)
        Sleep(1);
    int64_t shownUs = UnixMicrosNow();
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0);
    bool exited = WaitForSingleObject(process.hProcess, EXIT_TIMEOUT_MS) == WAIT_OBJECT_0;
    if (!exited)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (!window || !exited)
        return Fail("the bare window did not show and close");
    Sample("startup_ref", startUs, shownUs);
    return true;
}

// One round of every measurement, on a newly started updater that then serves all its runs
// as a person presses PROGRAM again and again; its first run (device on COM1) is the first
// press after start. Rounds, not blocks of one figure, so that a change in the machine's load
// weighs on all figures alike.
bool Round(const std::wstring& dir)
{
    if (!ProcessReferenceRun(dir) || !BareWindowRun() || !AddSilentPorts(PORT_COUNT))
        return false;
    Updater u;
    int64_t startUs = 0, shownUs = 0;
    bool ok = LaunchUpdater(dir, &u, &startUs, &shownUs);
    if (ok)
        Sample("startup", startUs, shownUs);
    const int silentCounts[] = {0, 5, 19};
    for (int silent : silentCounts)
        ok = ok && UpdateRun(u, dir, silent, false);
    ok = ok && UpdateRun(u, dir, 0, true) && NotFoundRun(u, dir);
    if (!ok)
        EndLeftoverTool(dir);
    ok = CloseUpdater(&u) && ok;
    // The updater is gone: the references have the same ports to themselves.
    return ok && PortReferenceRun(L"COM1") && EngineReferenceRun(L"COM1") && LinkReferenceRun(1);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int repeats = argc == 3 && argv[1][0] != L'\0' ? _wtoi(argv[2]) : 0;
    if (repeats < 1) {
        fputs("usage: bench PROGRAM_DIR REPEATS   (DEVSIM_PORT_FILE names the simulator's port file)\n", stderr);
        return 2;
    }
    const std::wstring dir = ProgramFolder(argv[1]);
    fprintf(stderr, "bench: program folder %ls, %d runs per figure\n", dir.c_str(), repeats);
    if (!WriteTextFile(dir + L"DfuSeCommand.cfg", TOOL_CONFIG)) {
        Fail("cannot configure the tool in %ls", dir.c_str());
        return 1;
    }
    if (!SimConnect(sim) || !Sim("reset")) {
        Fail("cannot reach the device simulator (DEVSIM_PORT_FILE)");
        return 1;
    }
    bool ok = true;
    for (int i = 0; ok && i < repeats; i++)
        ok = Round(dir);
    Sim("reset");
    SimDisconnect(sim);
    return ok ? 0 : 1;
}
