#include "program_dir.h"

#include "tests/support/win_util.h"

#include <cstdlib>
#include <sstream>

namespace {

void CopyFromBuild(const std::wstring& relative, const std::wstring& target)
{
    CopyFileW((TestBuildDirectory() + relative).c_str(), target.c_str(), FALSE);
}

} // namespace

std::wstring TestBuildDirectory()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.rfind(L'\\') + 1);
}

bool ProgramDir::Create(const std::wstring& name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path = std::wstring(temp) + name + L"\\";
    Remove();
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    InstallTool(true);
    InstallFirmware(true);
    return true;
}

void ProgramDir::Remove()
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                DeleteFileW((path + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

void ProgramDir::InstallTool(bool present)
{
    std::wstring target = path + L"DfuSeCommand.exe";
    if (present)
        CopyFromBuild(L"..\\..\\tools\\dfu-standin\\DfuSeCommand.exe", target);
    else
        DeleteFileW(target.c_str());
}

void ProgramDir::InstallFirmware(bool present)
{
    std::wstring target = path + L"Tavrolin.dfu";
    if (present)
        WriteTextFile(target, "DfuSe firmware image used by the tests\n");
    else
        DeleteFileW(target.c_str());
}

void ProgramDir::InstallUpdater()
{
    CopyFromBuild(L"..\\..\\app\\TavrolinUpdater.exe", path + L"TavrolinUpdater.exe");
}

void ProgramDir::ConfigureTool(const std::string& settings)
{
    WriteTextFile(path + L"DfuSeCommand.cfg", settings);
}

std::vector<ToolStart> ProgramDir::ToolStarts() const
{
    std::vector<ToolStart> starts;
    std::istringstream lines(ReadTextFile(path + L"DfuSeCommand.log"));
    ToolStart current;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t eq = line.find('=');
        std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (key == "start_us")
            current.startUs = std::strtoll(value.c_str(), nullptr, 10);
        else if (key == "cmdline")
            current.cmdline = Wide(value);
        else if (key == "cwd")
            current.cwd = Wide(value);
        else if (key == "si_flags")
            current.siFlags = std::strtoul(value.c_str(), nullptr, 10);
        else if (key == "si_show")
            current.siShow = std::strtoul(value.c_str(), nullptr, 10);
        else if (key == "pid")
            current.pid = std::strtoul(value.c_str(), nullptr, 10);
        else if (key == "end") {
            starts.push_back(current);
            current = ToolStart();
        }
    }
    return starts;
}
