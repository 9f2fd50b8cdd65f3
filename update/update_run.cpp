#include "update_run.h"

#include "app/resource.h"
#include "link/device_link.h"
#include "program.h"
#include "serial/serial_port.h"

#include <process.h>
#include <shellapi.h>

#include <cwchar>

namespace {

constexpr int FIRST_PORT = 1;
constexpr int LAST_PORT = 20;
constexpr DWORD REPLY_WAIT_MS = 100;
constexpr DWORD BOOTLOADER_PAUSE_MS = 500;
constexpr DWORD TOOL_WAIT_MS = 30000;
constexpr DWORD PORT_RELEASE_WAIT_MS = 10000; // for I/O threads that outlived their Close
constexpr size_t LOG_LINE_CHARS = 100;
constexpr size_t TOOL_TEXT_CHARS = 400;
constexpr uint16_t IDENTITY_REPLY_LENGTH = 12; // signature at 1..3, version at 11

const wchar_t* const ERROR_TITLE = L"PSU Updater: Error";
const wchar_t* const FAILED_LINE_1 = L"Programming failed. This might be because the Tavrolin device\n";
const wchar_t* const FAILED_LINE_2 = L"is not connected or the DFU device driver has not been installed.\n";

struct Run {
    DeviceLink* link;
    HWND log;
    SerialPort* ports[LAST_PORT]; // every port object this run created, released at its end
    int portCount;
    SerialPort* device;           // the found device's port, still open
    int deviceNumber;
};

void FormatPortName(int number, wchar_t (&name)[SERIAL_NAME_CHARS])
{
    // Ports from 10 on are reachable only through the device namespace.
    _snwprintf_s(name, SERIAL_NAME_CHARS, _TRUNCATE, number < 10 ? L"COM%d" : L"\\\\.\\COM%d", number);
}

bool Signalled(LinkEvent event)
{
    return WaitForMultipleObjects(1, &event, FALSE, REPLY_WAIT_MS) == WAIT_OBJECT_0;
}

void ShowError(const wchar_t* text)
{
    MessageBoxW(MainWindow, text, ERROR_TITLE, MB_OK);
}

void SetProgramEnabled(BOOL enabled)
{
    EnableWindow(GetDlgItem(MainWindow, IDC_PROGRAM), enabled);
}

// Only bytes the reply really carried count: a reply too short to hold the signature and the
// version identifies nothing.
bool IsTavrolin(const DeviceLink& link)
{
    return link.acceptedLength >= IDENTITY_REPLY_LENGTH && link.payload[1] == 'P' &&
           link.payload[2] == 'S' && link.payload[3] == 'U';
}

void SendCommand(SerialPort* port, uint8_t command)
{
    CommandFrame frame = MakeCommandFrame(command);
    port->Send(frame.bytes, COMMAND_FRAME_SIZE);
}

// Opens one port and asks it who it is; true when the device answered. A rejected port is
// closed; once its stop has been served it can report nothing but SE_CLOSED, which the link
// ignores, so the next port has the link to itself.
bool TryPort(Run& run, int number)
{
    wchar_t name[SERIAL_NAME_CHARS];
    FormatPortName(number, name);
    SerialPort* port = CreateSerialPort();
    if (!port)
        return false;
    run.ports[run.portCount++] = port;
    run.link->PrepareForPort(port);
    port->user = run.link;
    port->callback = DeviceLinkCallback;
    if (port->Open(name) != OPEN_OK)
        return false;
    SendCommand(port, CMD_IDENTIFY);
    if (Signalled(run.link->writeComplete) && Signalled(run.link->frameReady) && IsTavrolin(*run.link))
        return true;
    port->Close();
    return false;
}

bool SearchPorts(Run& run)
{
    for (int number = FIRST_PORT; number <= LAST_PORT; number++) {
        if (TryPort(run, number)) {
            run.device = run.link->port;
            run.deviceNumber = number;
            return true;
        }
        UpdateWindow(MainWindow);
    }
    return false;
}

void ReportNotFound(const Run& run)
{
    LogAppend(run.log, FAILED_LINE_1);
    LogAppend(run.log, FAILED_LINE_2);
    ShowError(L"No Velmoral Tavrolin device detected. This might be because the Tavrolin device is "
              L"not connected or the DFU device driver has not been installed.");
}

void ReportFound(const Run& run)
{
    wchar_t line[LOG_LINE_CHARS];
    _snwprintf_s(line, LOG_LINE_CHARS, _TRUNCATE, L"Tavrolin was found on COM%d.\n", run.deviceNumber);
    LogAppend(run.log, line);
    // The version byte is in tenths; divided in single precision as the device's tools do.
    float version = static_cast<float>(run.link->payload[11]) / 10.0f;
    _snwprintf_s(line, LOG_LINE_CHARS, _TRUNCATE, L"Current firmware version: V%0.1f\n",
                 static_cast<double>(version));
    LogAppend(run.log, line);
}

struct ToolLaunch {
    wchar_t path[TOOL_TEXT_CHARS];
    wchar_t parameters[TOOL_TEXT_CHARS];
    bool ready; // both texts complete and the firmware file present
};

// A cut path or a missing firmware file must never reach the tool: such a launch is refused
// and reported like a missing tool.
ToolLaunch PrepareToolLaunch()
{
    ToolLaunch launch = {};
    wchar_t firmware[TOOL_TEXT_CHARS];
    int pathChars = _snwprintf_s(launch.path, TOOL_TEXT_CHARS, _TRUNCATE, L"%sDfuSeCommand.exe",
                                 ProgramDirectory);
    int firmwareChars = _snwprintf_s(firmware, TOOL_TEXT_CHARS, _TRUNCATE, L"%sTavrolin.dfu",
                                     ProgramDirectory);
    int parameterChars = _snwprintf_s(launch.parameters, TOOL_TEXT_CHARS, _TRUNCATE,
                                      L"-c -d --fn \"%sTavrolin.dfu\"", ProgramDirectory);
    DWORD attributes = firmwareChars < 0 ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(firmware);
    launch.ready = ProgramDirectory[0] != L'\0' && pathChars >= 0 && parameterChars >= 0 &&
                   attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    return launch;
}

// Starts the tool hidden; null when it could not be started. The shell shows no box of its own:
// the run's box, owned by the main window, is the only one.
HANDLE StartTool(const ToolLaunch& launch)
{
    if (!launch.ready)
        return nullptr;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = launch.path;
    info.lpParameters = launch.parameters;
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info))
        return nullptr;
    return info.hProcess;
}

// The tool must end within its time and say it succeeded: a crash or a failed load is not
// "complete". A tool still running after the wait is left running.
bool WaitForTool(HANDLE process)
{
    if (!process || WaitForSingleObject(process, TOOL_WAIT_MS) != WAIT_OBJECT_0)
        return false;
    DWORD exitCode = 1;
    return GetExitCodeProcess(process, &exitCode) && exitCode == 0;
}

void SwitchToBootloader(const Run& run)
{
    SendCommand(run.device, CMD_ENTER_DFU);
    // The device is not asked to confirm; a reply, if any, is not looked at.
    if (Signalled(run.link->writeComplete))
        Signalled(run.link->frameReady);
    Sleep(BOOTLOADER_PAUSE_MS);
}

void Flash(Run& run)
{
    ReportFound(run);
    ToolLaunch launch = PrepareToolLaunch();
    UpdateWindow(MainWindow);
    SwitchToBootloader(run);
    LogAppend(run.log, L"Burning in Progress.\n Do not unplug.\n");
    HANDLE process = StartTool(launch);
    if (!process)
        ShowError(L"Failed to find DfuSeCommand.exe or firmware file.");
    bool flashed = WaitForTool(process);
    // The device has left for its bootloader: its port goes before the link does.
    run.device->Close();
    if (flashed) {
        LogAppend(run.log, L"Programming complete.\n");
        LogAppend(run.log, L"Remove and reconnect the device.\n");
    } else {
        LogAppend(run.log, FAILED_LINE_1);
        LogAppend(run.log, FAILED_LINE_2);
        ShowError(L"Programming failed. This might be because the Tavrolin device is not connected "
                  L"or the DFU device driver has not been installed.");
    }
    if (process)
        CloseHandle(process);
}

// Frees every port of the run once its I/O thread has ended. False when a thread is still
// running after the wait: that port, and the link it reports into, must then stay alive.
bool ReleasePorts(Run& run)
{
    bool all = true;
    DWORD deadline = GetTickCount() + PORT_RELEASE_WAIT_MS;
    for (int i = 0; i < run.portCount; i++) {
        DWORD now = GetTickCount();
        DWORD wait = static_cast<int32_t>(deadline - now) > 0 ? deadline - now : 0;
        if (ReleaseSerialPort(run.ports[i], wait))
            run.ports[i] = nullptr;
        else
            all = false;
    }
    return all;
}

} // namespace

void __cdecl UpdateRun(void*)
{
    Run run = {};
    run.link = new DeviceLink();
    run.link->Create();
    run.log = GetDlgItem(MainWindow, IDC_LOG);
    SetProgramEnabled(FALSE);

    if (SearchPorts(run))
        Flash(run);
    else
        ReportNotFound(run);

    bool released = ReleasePorts(run);
    SetProgramEnabled(TRUE);
    if (released) {
        run.link->Destroy();
        delete run.link;
    } // else the link stays, deliberately, for the port threads that still report into it
    _endthread();
}
