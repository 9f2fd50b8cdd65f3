// A program folder for a test: the updater's neighbours (the stand-in DFU tool and a firmware
// file), and what the stand-in recorded about each time it was started.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct ToolStart {
    int64_t startUs = 0; // microseconds since 1970, the device simulator's clock
    std::wstring cmdline;
    std::wstring cwd;
    DWORD siFlags = 0;
    DWORD siShow = 0;
    DWORD pid = 0;
};

// Directory of this test executable, with a trailing backslash.
std::wstring TestBuildDirectory();

struct ProgramDir {
    std::wstring path; // ends with a backslash

    bool Create(const std::wstring& name); // a fresh folder in the temp directory, tool and firmware in it
    void Remove();
    void InstallTool(bool present);
    void InstallFirmware(bool present);
    void InstallUpdater();
    void ConfigureTool(const std::string& settings); // e.g. "exit_code=3\n"
    std::vector<ToolStart> ToolStarts() const;
};
