// Values the whole process shares. The main thread writes them once at start-up, before any
// other thread exists; afterwards they never change and are read without locking.
#pragma once

#include <windows.h>

constexpr DWORD PROGRAM_DIRECTORY_CHARS = 400;

extern HINSTANCE AppInstance;
extern HWND MainWindow;
// Full directory of the running executable with one trailing backslash; empty when unknown.
extern wchar_t ProgramDirectory[PROGRAM_DIRECTORY_CHARS];

// Appends one line to the run log (the main window's list box). From another thread it
// returns once the main thread has added the line.
void LogAppend(HWND logList, const wchar_t* line);
