// Tests of the Windows test support: the handle and thread counters, the stand-in DFU tool
// and the window helpers. Run under Wine with an X display, or on a Windows desktop.
#include <windows.h>

#include <gtest/gtest.h>
#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "handle_count.h"
#include "ui_helpers.h"
#include "win_util.h"

namespace {

using Record = std::map<std::string, std::string>;

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring TestExeDirectory() {
  wchar_t path[MAX_PATH * 2] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  return DirectoryOf(path);
}

std::wstring CurrentDirectory() {
  wchar_t dir[MAX_PATH * 2] = {};
  const DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, dir);
  return std::wstring(dir, n < MAX_PATH * 2 ? n : 0);
}

// Complete records of the stand-in's log; a record without its closing "end" is dropped.
std::vector<Record> ParseLog(const std::string& text) {
  std::vector<Record> records;
  Record current;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) break;
    const std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line == "end") {
      records.push_back(current);
      current.clear();
      continue;
    }
    const size_t eq = line.find('=');
    if (eq != std::string::npos) current[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return records;
}

// A copy of the stand-in in a fresh directory whose name has a space, with its own
// configuration and log, as it would lie beside the updater on a PC.
struct StandinDir {
  // A directory inside, for tests that run the tool from somewhere else.
  static constexpr const wchar_t* kWorkDir = L"work dir";

  std::wstring dir;
  std::wstring exe;

  bool Create() {
    static int serial = 0;
    wchar_t temp[MAX_PATH] = {};
    if (!GetTempPathW(MAX_PATH, temp)) return false;
    wchar_t name[MAX_PATH * 2];
    _snwprintf_s(name, _countof(name), _TRUNCATE, L"%lsstandin test %lu-%d", temp,
                 GetCurrentProcessId(), ++serial);
    dir = name;
    exe = dir + L"\\DfuSeCommand.exe";
    if (!CreateDirectoryW(dir.c_str(), nullptr)) return false;
    const std::wstring built = TestExeDirectory() + L"\\DfuSeCommand.exe";
    return CopyFileW(built.c_str(), exe.c_str(), FALSE) != 0;
  }

  bool Configure(const std::string& cfg) const {
    return WriteTextFile(dir + L"\\DfuSeCommand.cfg", cfg);
  }

  std::vector<Record> Records() const {
    return ParseLog(ReadTextFile(dir + L"\\DfuSeCommand.log"));
  }

  bool WaitForRecords(size_t n, DWORD timeoutMs) const {
    return WaitUntil([&] { return Records().size() >= n; }, timeoutMs);
  }

  // Wine reports a process ended a little before it lets go of its exe and its current
  // directory, so removal is retried for a while.
  bool Remove() const {
    const std::wstring files[] = {dir + L"\\DfuSeCommand.log", dir + L"\\DfuSeCommand.cfg", exe};
    const std::wstring dirs[] = {dir + L"\\" + kWorkDir, dir};
    return WaitUntil(
        [&] {
          for (const std::wstring& f : files) {
            if (!DeleteFileW(f.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
          }
          for (const std::wstring& d : dirs) {
            if (!RemoveDirectoryW(d.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
              return false;
            }
          }
          return true;
        },
        10000);
  }
};

// Starts a program the way the updater starts the DFU tool. Returns the process handle.
HANDLE LaunchHidden(const std::wstring& exe, const std::wstring& params) {
  SHELLEXECUTEINFOW sei{};
  sei.cbSize = sizeof sei;
  sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  sei.lpFile = exe.c_str();
  sei.lpParameters = params.c_str();
  sei.lpDirectory = nullptr;
  sei.nShow = SW_HIDE;
  if (!ShellExecuteExW(&sei)) return nullptr;
  return sei.hProcess;
}

DWORD WaitAndGetExitCode(HANDLE process, DWORD timeoutMs) {
  if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process, &code);
  return code;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& cmdline) {
  std::vector<std::wstring> args;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(cmdline.c_str(), &argc);
  if (!argv) return args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  return args;
}

// ---------------------------------------------------------------------------------------
// Handle and thread counters

TEST(HandleCount, FollowsOneEventCreatedAndClosed) {
  const DWORD self = GetCurrentProcessId();
  const int before = CountProcessHandles(self);
  // A live process always holds handles; a counter stuck at 0 must fail here.
  ASSERT_GT(before, 0);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(CountProcessHandles(self), before + 1);
  CloseHandle(event);
  EXPECT_EQ(CountProcessHandles(self), before);
}

class HandleLeak : public testing::TestWithParam<int> {};

TEST_P(HandleLeak, SeesEveryLeakedEventByCountAndType) {
  const int n = GetParam();
  const DWORD self = GetCurrentProcessId();
  const int before = CountProcessHandles(self);
  const int eventsBefore = HandleTypesOf(self)[L"Event"];
  ASSERT_GT(before, 0);
  std::vector<HANDLE> leaked;
  for (int i = 0; i < n; ++i) leaked.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  EXPECT_EQ(CountProcessHandles(self), before + n);
  std::map<std::wstring, int> types = HandleTypesOf(self);
  EXPECT_EQ(types[L"Event"], eventsBefore + n);
  int total = 0;
  for (const auto& [type, count] : types) total += count;
  EXPECT_EQ(total, before + n);
  for (HANDLE h : leaked) CloseHandle(h);
  EXPECT_EQ(CountProcessHandles(self), before);
}

INSTANTIATE_TEST_SUITE_P(Counts, HandleLeak, testing::Values(1, 5, 40));

TEST(HandleCount, CountsAnotherProcessAndAHandleGivenToIt) {
  StandinDir standin;
  ASSERT_TRUE(standin.Create());
  ASSERT_TRUE(standin.Configure("hang=1\n"));
  HANDLE process = LaunchHidden(standin.exe, L"");
  ASSERT_NE(process, nullptr);
  const DWORD pid = GetProcessId(process);
  ASSERT_TRUE(standin.WaitForRecords(1, 20000));
  // The stand-in reads its configuration right after logging; let it settle in its sleep.
  Sleep(300);
  const int before = CountProcessHandles(pid);
  EXPECT_GT(before, 0);
  const int eventsBefore = HandleTypesOf(pid)[L"Event"];

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE inChild = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, process, &inChild, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(CountProcessHandles(pid), before + 1);
  EXPECT_EQ(HandleTypesOf(pid)[L"Event"], eventsBefore + 1);

  TerminateProcess(process, 1);
  WaitForSingleObject(process, 10000);
  CloseHandle(event);
  CloseHandle(process);
  EXPECT_TRUE(standin.Remove());
}

TEST(HandleCount, FailsForAProcessThatDoesNotExist) {
  // Process ids are multiples of 4 and come from a small pool; this one is never handed out.
  const DWORD unused = 0x3FFFFFFC;
  EXPECT_EQ(CountProcessHandles(unused), -1);
  EXPECT_TRUE(HandleTypesOf(unused).empty());
}

TEST(ThreadCount, FollowsAThreadStartedAndEnded) {
  const DWORD self = GetCurrentProcessId();
  const int before = CountProcessThreads(self);
  ASSERT_GE(before, 1);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread worker([stop] { WaitForSingleObject(stop, INFINITE); });
  EXPECT_TRUE(WaitUntil([&] { return CountProcessThreads(self) == before + 1; }, 5000));
  SetEvent(stop);
  worker.join();
  EXPECT_TRUE(WaitUntil([&] { return CountProcessThreads(self) == before; }, 5000));
  CloseHandle(stop);
}

// ---------------------------------------------------------------------------------------
// Stand-in DFU tool

struct LaunchCase {
  const wchar_t* params;
  std::vector<std::wstring> args;  // after the program name
};

void PrintTo(const LaunchCase& c, std::ostream* os) {
  *os << testing::PrintToString(std::wstring(c.params));
}

class StandinLaunch : public testing::TestWithParam<LaunchCase> {};

TEST_P(StandinLaunch, RecordsHowItWasStarted) {
  const LaunchCase& c = GetParam();
  StandinDir standin;
  ASSERT_TRUE(standin.Create());
  // Run from a directory other than the tool's, to see which one the tool gets.
  const std::wstring oldCwd = CurrentDirectory();
  const std::wstring cwd = standin.dir + L"\\" + StandinDir::kWorkDir;
  ASSERT_TRUE(CreateDirectoryW(cwd.c_str(), nullptr));
  ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));

  const int64_t launchedUs = UnixMicrosNow();
  HANDLE process = LaunchHidden(standin.exe, c.params);
  SetCurrentDirectoryW(oldCwd.c_str());
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(WaitAndGetExitCode(process, 30000), 0u);
  const DWORD pid = GetProcessId(process);
  CloseHandle(process);

  const std::vector<Record> records = standin.Records();
  ASSERT_EQ(records.size(), 1u);
  Record r = records[0];
  const std::wstring cmdline = Wide(r["cmdline"]);
  const std::wstring tail = std::wstring(L" ") + c.params;
  ASSERT_GE(cmdline.size(), tail.size());
  EXPECT_EQ(cmdline.substr(cmdline.size() - tail.size()), tail) << r["cmdline"];
  std::vector<std::wstring> args = SplitCommandLine(cmdline);
  ASSERT_EQ(args.size(), c.args.size() + 1) << r["cmdline"];
  EXPECT_EQ(_wcsicmp(args[0].c_str(), standin.exe.c_str()), 0) << r["cmdline"];
  EXPECT_EQ(std::vector<std::wstring>(args.begin() + 1, args.end()), c.args);

  EXPECT_EQ(_wcsicmp(Wide(r["cwd"]).c_str(), cwd.c_str()), 0) << r["cwd"];
  EXPECT_NE(std::stoul(r["si_flags"]) & STARTF_USESHOWWINDOW, 0u) << r["si_flags"];
  EXPECT_EQ(r["si_show"], "0");
  EXPECT_EQ(r["pid"], std::to_string(pid));
  const int64_t startUs = std::stoll(r["start_us"]);
  EXPECT_GE(startUs, launchedUs);
  EXPECT_LT(startUs, launchedUs + 30'000'000);
  EXPECT_TRUE(r["console"] == "0" || r["console"] == "1") << r["console"];

  EXPECT_TRUE(standin.Remove());
}

INSTANTIATE_TEST_SUITE_P(
    Params, StandinLaunch,
    testing::Values(LaunchCase{L"-c -d --fn \"C:\\some dir\\Firmware.dfu\"",
                               {L"-c", L"-d", L"--fn", L"C:\\some dir\\Firmware.dfu"}},
                    LaunchCase{L"-c -d --fn \"C:\\Prüfung Ω\\Firmware 2.dfu\"",
                               {L"-c", L"-d", L"--fn", L"C:\\Prüfung Ω\\Firmware 2.dfu"}},
                    LaunchCase{L"--fn C:\\plain\\a.dfu", {L"--fn", L"C:\\plain\\a.dfu"}}));

struct ExitCase {
  const char* cfg;
  DWORD delayMs;
  DWORD exitCode;
};

void PrintTo(const ExitCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.cfg ? c.cfg : "(no configuration)");
}

class StandinExit : public testing::TestWithParam<ExitCase> {};

TEST_P(StandinExit, ExitsWithTheConfiguredCodeAfterTheDelay) {
  const ExitCase& c = GetParam();
  StandinDir standin;
  ASSERT_TRUE(standin.Create());
  if (c.cfg) {
    ASSERT_TRUE(standin.Configure(c.cfg));
  }
  HANDLE process = LaunchHidden(standin.exe, L"-c -d --fn x.dfu");
  ASSERT_NE(process, nullptr);
  const DWORD code = WaitAndGetExitCode(process, 30000);
  const int64_t endedUs = UnixMicrosNow();
  CloseHandle(process);
  EXPECT_EQ(code, c.exitCode);
  const std::vector<Record> records = standin.Records();
  ASSERT_EQ(records.size(), 1u);
  const int64_t startUs = std::stoll(records[0].at("start_us"));
  const int64_t ranMs = (endedUs - startUs) / 1000;
  // The clocks are the same; the small slack covers timer rounding.
  EXPECT_GE(ranMs, static_cast<int64_t>(c.delayMs) - 20);
  EXPECT_LT(ranMs, static_cast<int64_t>(c.delayMs) + 10000);
  EXPECT_TRUE(standin.Remove());
}

INSTANTIATE_TEST_SUITE_P(Configs, StandinExit,
                         testing::Values(ExitCase{nullptr, 0, 0},          // no configuration
                                         ExitCase{"exit_code=7\n", 0, 7},  //
                                         ExitCase{"delay_ms=400\r\nexit_code=3\r\n", 400, 3},
                                         ExitCase{"delay_ms=1500\nexit_code=-1\n", 1500,
                                                  0xFFFFFFFFu},
                                         ExitCase{"crash=1\n", 0, 0xC0000005u}));

struct StartCase {
  DWORD creationFlags;
  DWORD siFlags;
  WORD show;
  const char* console;  // what the stand-in records
};

void PrintTo(const StartCase& c, std::ostream* os) {
  *os << "creation 0x" << std::hex << c.creationFlags << " si_flags 0x" << c.siFlags << std::dec
      << " show " << c.show;
}

class StandinStart : public testing::TestWithParam<StartCase> {};

// The tool may be started with or without a console and must work the same either way.
TEST_P(StandinStart, RecordsStartupInfoWithOrWithoutAConsole) {
  const StartCase& c = GetParam();
  StandinDir standin;
  ASSERT_TRUE(standin.Create());
  ASSERT_TRUE(standin.Configure("exit_code=4\n"));
  std::wstring cmdline = L"\"" + standin.exe + L"\" -c";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = c.siFlags;
  si.wShowWindow = c.show;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(standin.exe.c_str(), cmdline.data(), nullptr, nullptr, FALSE,
                             c.creationFlags, nullptr, standin.dir.c_str(), &si, &pi));
  CloseHandle(pi.hThread);
  EXPECT_EQ(WaitAndGetExitCode(pi.hProcess, 30000), 4u);
  CloseHandle(pi.hProcess);
  const std::vector<Record> records = standin.Records();
  ASSERT_EQ(records.size(), 1u);
  const Record& r = records[0];
  EXPECT_EQ(r.at("cmdline"), Utf8(cmdline));
  EXPECT_EQ(_wcsicmp(Wide(r.at("cwd")).c_str(), standin.dir.c_str()), 0) << r.at("cwd");
  EXPECT_EQ(r.at("si_flags"), std::to_string(c.siFlags));
  EXPECT_EQ(r.at("si_show"), std::to_string(c.show));
  EXPECT_EQ(r.at("console"), c.console);
  EXPECT_TRUE(standin.Remove());
}

INSTANTIATE_TEST_SUITE_P(
    CreationFlags, StandinStart,
    testing::Values(StartCase{DETACHED_PROCESS, 0, 0, "0"},
                    StartCase{CREATE_NEW_CONSOLE, STARTF_USESHOWWINDOW, SW_SHOWMINNOACTIVE, "1"},
                    StartCase{CREATE_NO_WINDOW, STARTF_USESHOWWINDOW, SW_SHOWNORMAL, "1"}));

TEST(Standin, HangKeepsRunningUntilTerminated) {
  StandinDir standin;
  ASSERT_TRUE(standin.Create());
  ASSERT_TRUE(standin.Configure("hang=1\nexit_code=5\n"));
  HANDLE process = LaunchHidden(standin.exe, L"-c");
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(standin.WaitForRecords(1, 20000));
  EXPECT_EQ(WaitForSingleObject(process, 2000), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(TerminateProcess(process, 99));
  EXPECT_EQ(WaitAndGetExitCode(process, 10000), 99u);
  CloseHandle(process);
  EXPECT_TRUE(standin.Remove());
}

TEST(Standin, InstancesRunningTogetherKeepTheirRecordsWhole) {
  constexpr int kInstances = 4;
  StandinDir standin;
  ASSERT_TRUE(standin.Create());
  ASSERT_TRUE(standin.Configure("delay_ms=300\n"));
  std::vector<HANDLE> processes;
  std::vector<std::string> pids;
  for (int i = 0; i < kInstances; ++i) {
    wchar_t params[64];
    _snwprintf_s(params, _countof(params), _TRUNCATE, L"--instance %d", i);
    HANDLE p = LaunchHidden(standin.exe, params);
    ASSERT_NE(p, nullptr);
    processes.push_back(p);
    pids.push_back(std::to_string(GetProcessId(p)));
  }
  for (HANDLE p : processes) {
    EXPECT_EQ(WaitAndGetExitCode(p, 30000), 0u);
    CloseHandle(p);
  }
  const std::vector<Record> records = standin.Records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kInstances));
  for (int i = 0; i < kInstances; ++i) {
    const std::string tail = " --instance " + std::to_string(i);
    int found = 0;
    for (const Record& r : records) {
      const std::string& cmd = r.at("cmdline");
      if (cmd.size() >= tail.size() &&
          cmd.compare(cmd.size() - tail.size(), tail.size(), tail) == 0) {
        ++found;
        EXPECT_EQ(r.at("pid"), pids[i]);
        EXPECT_EQ(r.size(), 7u);  // every key present: nothing interleaved
      }
    }
    EXPECT_EQ(found, 1) << "instance " << i;
  }
  EXPECT_TRUE(standin.Remove());
}

TEST(Standin, RepeatedLaunchesLeakNoHandlesInTheLauncher) {
  StandinDir standin;
  ASSERT_TRUE(standin.Create());
  const auto launchOnce = [&] {
    HANDLE p = LaunchHidden(standin.exe, L"-c");
    if (!p) return false;
    const bool ok = WaitAndGetExitCode(p, 30000) == 0;
    CloseHandle(p);
    return ok;
  };
  // The first launch lets the system open what it keeps for later launches.
  ASSERT_TRUE(launchOnce());
  const DWORD self = GetCurrentProcessId();
  const int before = CountProcessHandles(self);
  ASSERT_GT(before, 0);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(launchOnce());
  EXPECT_EQ(CountProcessHandles(self), before);
  // Without the CloseHandle the process handle stays, and the counter must see it.
  HANDLE kept = LaunchHidden(standin.exe, L"-c");
  ASSERT_NE(kept, nullptr);
  WaitForSingleObject(kept, 30000);
  EXPECT_EQ(CountProcessHandles(self), before + 1);
  CloseHandle(kept);
  EXPECT_TRUE(standin.Remove());
}

// ---------------------------------------------------------------------------------------
// Window helpers

HWND CreateTestWindow(const wchar_t* title) {
  return CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 200,
                         nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

struct BoxCase {
  UINT style;
  int press;
  std::vector<std::wstring> buttons;
  bool hasIcon;
};

void PrintTo(const BoxCase& c, std::ostream* os) {
  *os << "style 0x" << std::hex << c.style << std::dec << " press " << c.press;
}

class MessageBoxHelpers : public testing::TestWithParam<BoxCase> {};

// What the thread showing a box reports back. Shared, so that a box that never closes
// fails the test instead of hanging it on a join.
struct BoxCall {
  std::atomic<bool> done{false};
  std::atomic<int> result{0};
};

TEST_P(MessageBoxHelpers, FindReadAndDismissABoxOfAnotherThread) {
  const BoxCase& c = GetParam();
  HWND owner = CreateTestWindow(L"Support test owner");
  ASSERT_NE(owner, nullptr);
  // Unique across processes: another test run in the same Wine prefix shares the desktop.
  wchar_t titleBuf[64];
  _snwprintf_s(titleBuf, _countof(titleBuf), _TRUNCATE, L"Support box %u/%lu", c.style,
               GetCurrentProcessId());
  const std::wstring title = titleBuf;
  const std::wstring text = L"Line one\nLine two: Ünïcödé";

  // The box's thread asks the owner's thread (this one) to disable and re-enable the owner,
  // so this thread must pump messages until the box's thread is finished.
  auto call = std::make_shared<BoxCall>();
  std::thread([call, owner, text, title, style = c.style] {
    call->result = MessageBoxW(owner, text.c_str(), title.c_str(), style);
    call->done = true;
  }).detach();

  HWND box = WaitForTopWindow(GetCurrentProcessId(), L"#32770", title.c_str(), 15000);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(WaitForTopWindow(GetCurrentProcessId() + 4, L"#32770", title.c_str(), 100), nullptr);
  EXPECT_EQ(WaitForTopWindow(0, L"#32770", L"No such title", 100), nullptr);
  EXPECT_EQ(WaitForTopWindow(0, L"#32770", title.c_str(), 100), box);
  EXPECT_FALSE(IsWindowEnabled(owner));

  BoxInfo info;
  ASSERT_TRUE(ReadMessageBox(box, &info));
  EXPECT_EQ(info.title, title);
  EXPECT_EQ(info.text, text);
  EXPECT_EQ(info.buttons, c.buttons);
  EXPECT_TRUE(info.HasButton(c.buttons.back()));
  EXPECT_FALSE(info.HasButton(L"&Retry"));
  EXPECT_EQ(info.hasIcon, c.hasIcon);
  EXPECT_EQ(info.owner, owner);

  EXPECT_TRUE(DismissMessageBox(box, c.press));
  EXPECT_FALSE(IsWindow(box));
  ASSERT_TRUE(WaitUntil([call] { return call->done.load(); }, 10000));
  EXPECT_EQ(call->result, c.press);
  EXPECT_TRUE(IsWindowEnabled(owner));
  DestroyWindow(owner);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, MessageBoxHelpers,
    testing::Values(BoxCase{MB_OK, IDOK, {L"OK"}, false},
                    BoxCase{MB_OK | MB_ICONERROR, IDOK, {L"OK"}, true},
                    BoxCase{MB_OKCANCEL | MB_ICONWARNING, IDCANCEL, {L"OK", L"Cancel"}, true},
                    BoxCase{MB_YESNO | MB_ICONQUESTION, IDYES, {L"&Yes", L"&No"}, true}));

TEST(MessageBoxHelpers, ReadAndDismissFailForAWindowThatIsGone) {
  HWND w = CreateTestWindow(L"Short-lived");
  ASSERT_NE(w, nullptr);
  DestroyWindow(w);
  BoxInfo info;
  EXPECT_FALSE(ReadMessageBox(w, &info));
  EXPECT_FALSE(DismissMessageBox(w));
}

TEST(ListBoxHelper, ReadsAllItemsOfAListOnThisThread) {
  HWND parent = CreateTestWindow(L"List parent");
  ASSERT_NE(parent, nullptr);
  HWND list = CreateWindowExW(0, L"LISTBOX", nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 200, 150, parent,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(ReadListBox(list).empty());
  const std::vector<std::wstring> items = {L"Port COM3", L"", L"Ünïcödé Ω",
                                           std::wstring(300, L'x')};
  for (const std::wstring& s : items) {
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s.c_str()));
  }
  EXPECT_EQ(ReadListBox(list), items);
  DestroyWindow(parent);
}

TEST(ListBoxHelper, ReadsAListOwnedByAnotherThread) {
  std::atomic<HWND> list{nullptr};
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread owner([&] {
    HWND w = CreateWindowExW(0, L"LISTBOX", L"Other thread list", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                             0, 0, 200, 150, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    for (const wchar_t* s : {L"first", L"second", L"third"}) {
      SendMessageW(w, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
    }
    list = w;
    while (MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    DestroyWindow(w);
  });
  ASSERT_TRUE(WaitUntil([&] { return list.load() != nullptr; }, 5000));
  EXPECT_EQ(ReadListBox(list), (std::vector<std::wstring>{L"first", L"second", L"third"}));
  SetEvent(stop);
  owner.join();
  CloseHandle(stop);
}

TEST(WaitUntilHelper, AnswersMessagesSentToThisThreadWhileWaiting) {
  HWND w = CreateTestWindow(L"before");
  ASSERT_NE(w, nullptr);
  enum { kPending, kHandled, kTimedOut };
  std::atomic<int> outcome{kPending};
  // A message sent from another thread is handled only when this thread reads its queue;
  // the sender gives up after 5 s, so a wait that does not pump fails instead of hanging.
  std::thread sender([&] {
    DWORD_PTR ignored = 0;
    const LRESULT ok = SendMessageTimeoutW(w, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"after"),
                                           SMTO_NORMAL, 5000, &ignored);
    outcome = ok ? kHandled : kTimedOut;
  });
  EXPECT_TRUE(WaitUntil([&] { return outcome.load() == kHandled; }, 10000));
  sender.join();
  EXPECT_EQ(outcome, kHandled);
  wchar_t text[32] = {};
  GetWindowTextW(w, text, 32);
  EXPECT_STREQ(text, L"after");
  DestroyWindow(w);
}

TEST(WaitUntilHelper, GivesUpAfterTheTimeout) {
  int polls = 0;
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(WaitUntil(
      [&] {
        ++polls;
        return false;
      },
      300));
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_GE(elapsed, 290u);
  EXPECT_LT(elapsed, 5000u);
  EXPECT_GT(polls, 2);
}

TEST(WaitUntilHelper, ReturnsAsSoonAsTheConditionHolds) {
  int polls = 0;
  EXPECT_TRUE(WaitUntil([&] { return ++polls == 3; }, 10000));
  EXPECT_EQ(polls, 3);
}

}  // namespace
