// Program entry, the main window and the About box.
#include "resource.h"
#include "update/program.h"
#include "update/update_run.h"

#include <windows.h>
#include <commctrl.h>
#include <process.h>

#include <cwchar>

namespace {

const wchar_t* const APP_VERSION = L"1.5";
const wchar_t* const WINDOW_CLASS = L"USB3_FWUPDATE";
const wchar_t* const ERROR_TITLE = L"PSU Updater: Error";

// A function of a loaded library by name, or null.
template <typename Function>
Function ProcAddress(HMODULE library, const char* name)
{
    return library ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name))) : nullptr;
}

// An updater is run from a Downloads folder, next to whatever else lies there: no DLL may be
// taken from the program's own folder. The executable imports only Known DLLs, which always
// come from the system; everything loaded later comes from the system folder only.
void RestrictDllSearch()
{
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    auto set = ProcAddress<SetDirectories>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (set)
        set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The common controls library is not a Known DLL, so it is loaded from the system folder
// explicitly rather than imported.
void LoadCommonControls()
{
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 14)
        return;
    wcscat_s(path, MAX_PATH, L"\\comctl32.dll"); // a full path works on every version
    HMODULE library = LoadLibraryW(path);
    using InitControls = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = ProcAddress<InitControls>(library, "InitCommonControlsEx");
    if (!init)
        return;
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES;
    init(&controls);
}

bool RegisterMainClass(WNDPROC procedure)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = procedure;
    wc.cbWndExtra = DLGWINDOWEXTRA; // a private dialog class needs room for the dialog manager
    wc.hInstance = AppInstance;
    wc.hIcon = LoadIconW(AppInstance, MAKEINTRESOURCEW(IDI_APP));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = WINDOW_CLASS;
    return RegisterClassExW(&wc) != 0;
}

// The executable's directory with one trailing backslash. A path the buffer cut short would
// name the wrong directory, so it leaves the directory unknown (empty) instead.
void FindProgramDirectory()
{
    ProgramDirectory[0] = L'\0';
    DWORD length = GetModuleFileNameW(nullptr, ProgramDirectory, PROGRAM_DIRECTORY_CHARS);
    if (length == 0 || length >= PROGRAM_DIRECTORY_CHARS) {
        ProgramDirectory[0] = L'\0';
        return;
    }
    wchar_t* lastSlash = wcsrchr(ProgramDirectory, L'\\');
    if (!lastSlash) {
        ProgramDirectory[0] = L'\0';
        return;
    }
    lastSlash[1] = L'\0';
}

int StartupShowState()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
}

void StartRun(HWND window)
{
    HWND program = GetDlgItem(window, IDC_PROGRAM);
    EnableWindow(program, FALSE);
    if (_beginthread(UpdateRun, 0, window) == static_cast<uintptr_t>(-1)) {
        EnableWindow(program, TRUE);
        MessageBoxW(window, L"The update could not be started. Close other programs and press PROGRAM again.",
                    ERROR_TITLE, MB_OK);
    }
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void OnCommand(HWND window, WORD id)
{
    switch (id) {
    case IDC_PROGRAM:
        StartRun(window);
        break;
    case IDC_EXIT:
        PostQuitMessage(0);
        break;
    case IDC_ABOUT:
        DialogBoxParamW(AppInstance, L"ABOUTBOX", window, AboutDlgProc, 0);
        break;
    default: // IDOK, IDCANCEL (Esc) and the log list's notifications
        break;
    }
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SHOWWINDOW:
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

int FailStartup(const wchar_t* text)
{
    MessageBoxW(nullptr, text, ERROR_TITLE, MB_OK);
    return 1;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    RestrictDllSearch();
    AppInstance = instance;
    LoadCommonControls();
    if (!RegisterMainClass(MainWndProc))
        return FailStartup(L"The updater could not start: its window class could not be registered.");
    FindProgramDirectory();
    MainWindow = CreateDialogParamW(AppInstance, WINDOW_CLASS, nullptr, nullptr, 0);
    if (!MainWindow)
        return FailStartup(L"The updater could not start: its window could not be created.");

    wchar_t line[64];
    _snwprintf_s(line, 64, _TRUNCATE, L"FWUpdater Version: %s\n", APP_VERSION);
    LogAppend(GetDlgItem(MainWindow, IDC_LOG), line);
    ShowWindow(MainWindow, StartupShowState());

    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(MainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
