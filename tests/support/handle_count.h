// Handle and thread counts of a process, for leak checks in the Windows tests.
#pragma once

#include <windows.h>

#include <map>
#include <string>

// Number of handles that process `pid` holds, or -1 on failure. Counts the process's entries
// in the system handle table: under Wine GetProcessHandleCount succeeds but always gives 0.
int CountProcessHandles(DWORD pid);

// Handles of process `pid` by object type name ("Event", "File", "Key", ...), to show what
// leaked. Handles whose type cannot be read are counted under "?". Empty on failure.
std::map<std::wstring, int> HandleTypesOf(DWORD pid);

// Number of threads of process `pid` (Toolhelp snapshot), or -1 on failure.
int CountProcessThreads(DWORD pid);
