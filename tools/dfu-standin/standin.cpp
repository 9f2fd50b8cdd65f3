// Stand-in for the vendor's DFU command-line tool, used by the Windows tests.
//
// Every start appends one record to DfuSeCommand.log beside the exe, so a test can see
// exactly how the updater launched the tool:
//   start_us=<microseconds since 1970-01-01 UTC, taken first thing>
//   cmdline=<GetCommandLineW, verbatim>
//   cwd=<current directory>
//   si_flags=<STARTUPINFO dwFlags>      si_show=<STARTUPINFO wShowWindow>
//   pid=<process id>                    console=<1 if the process is attached to a console>
//   end
// and, when it ends by its own ExitProcess (not on a crash, nor when it is terminated), one
// line after the record, so a benchmark can see how long the updater takes to notice the end:
//   exit_us=<microseconds since 1970-01-01 UTC, taken right before ExitProcess>
// DfuSeCommand.cfg beside the exe (optional) sets what the run then does:
//   delay_ms=N   wait N ms before exiting (0)
//   exit_code=N  process exit code (0); negative values give codes such as 0xFFFFFFFF
//   hang=1       never exit; the test terminates the process
//   crash=1      die of an access violation (exit code 0xC0000005)
//
// The tool is a console program, but it must run the same with or without a console:
// it never touches the standard handles.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/win_util.h"

namespace {

struct Config {
  DWORD delayMs = 0;
  DWORD exitCode = 0;
  bool hang = false;
  bool crash = false;
};

// Directory of this exe, with a trailing backslash.
std::wstring ExeDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L".\\";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L".\\" : path.substr(0, slash + 1);
}

std::wstring CurrentDirectory() {
  const DWORD need = GetCurrentDirectoryW(0, nullptr);
  if (need == 0) return L"";
  std::wstring dir(need, L'\0');
  const DWORD n = GetCurrentDirectoryW(need, dir.data());
  dir.resize(n < need ? n : 0);
  return dir;
}

void AppendNumberLine(std::string* block, const char* key, long long value) {
  char line[64];
  snprintf(line, sizeof line, "%s=%lld\n", key, value);
  *block += line;
}

// Attached to a console at all; a hidden console has no window, so GetConsoleWindow
// cannot tell.
bool HasConsole() {
  DWORD pids[4];
  return GetConsoleProcessList(pids, 4) != 0;
}

std::string FormatRecord(int64_t startUs) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  GetStartupInfoW(&si);
  std::string block;
  AppendNumberLine(&block, "start_us", startUs);
  block += "cmdline=" + Utf8(GetCommandLineW()) + "\n";
  block += "cwd=" + Utf8(CurrentDirectory()) + "\n";
  AppendNumberLine(&block, "si_flags", si.dwFlags);
  AppendNumberLine(&block, "si_show", si.wShowWindow);
  AppendNumberLine(&block, "pid", GetCurrentProcessId());
  AppendNumberLine(&block, "console", HasConsole() ? 1 : 0);
  block += "end\n";
  return block;
}

// One WriteFile on an append-only handle: records of instances running at the same time
// cannot interleave.
void AppendRecord(const std::wstring& path, const std::string& block) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
  CloseHandle(file);
}

void ApplySetting(Config* cfg, const std::string& key, const std::string& value) {
  const long long n = strtoll(value.c_str(), nullptr, 0);
  if (key == "delay_ms") {
    cfg->delayMs = n > 0 ? static_cast<DWORD>(n) : 0;
  } else if (key == "exit_code") {
    cfg->exitCode = static_cast<DWORD>(n);
  } else if (key == "hang") {
    cfg->hang = n != 0;
  } else if (key == "crash") {
    cfg->crash = n != 0;
  }
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

Config ReadConfig(const std::wstring& path) {
  Config cfg;
  const std::string text = ReadTextFile(path);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    const std::string line = text.substr(pos, eol - pos);
    const size_t eq = line.find('=');
    if (eq != std::string::npos)
      ApplySetting(&cfg, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    pos = eol + 1;
  }
  return cfg;
}

[[noreturn]] void CrashWithAccessViolation() {
  // The address comes through a volatile so the compiler cannot turn the store into a trap
  // instruction: the test wants a real access violation.
  volatile uintptr_t address = 16;
  *reinterpret_cast<volatile int*>(address) = 1;
  ExitProcess(0xC0000005);
}

}  // namespace

int main() {
  const int64_t startUs = UnixMicrosNow();
  // A crash must end the process, never wait on an error dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  const std::wstring dir = ExeDirectory();
  AppendRecord(dir + L"DfuSeCommand.log", FormatRecord(startUs));
  const Config cfg = ReadConfig(dir + L"DfuSeCommand.cfg");
  if (cfg.delayMs > 0) Sleep(cfg.delayMs);
  if (cfg.crash) CrashWithAccessViolation();
  if (cfg.hang) {
    for (;;) Sleep(INFINITE);
  }
  std::string exitLine;
  AppendNumberLine(&exitLine, "exit_us", UnixMicrosNow());
  AppendRecord(dir + L"DfuSeCommand.log", exitLine);
  ExitProcess(cfg.exitCode);
}
