#include "program.h"

HINSTANCE AppInstance;
HWND MainWindow;
wchar_t ProgramDirectory[PROGRAM_DIRECTORY_CHARS];

void LogAppend(HWND logList, const wchar_t* line)
{
    SendMessageW(logList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
}
