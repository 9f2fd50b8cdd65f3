// ui-driver: drives the updater's main window from scripts, the way a person at the screen
// would: presses its buttons, reads its log, answers its message boxes, opens and closes the
// About box. Runs as a separate console program in the same desktop as the updater.
//
// Results go to stdout as UTF-8, one line each. Exit codes: 0 done, 1 failed or timed out,
// 2 wrong usage.
#include "tests/support/ui_helpers.h"
#include "tests/support/win_util.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const wchar_t* const kMainClass = L"USB3_FWUPDATE";
const wchar_t* const kMainTitle = L"Tavrolin Firmware Updater";
const wchar_t* const kDialogClass = L"#32770";
const wchar_t* const kErrorTitle = L"PSU Updater: Error";
const wchar_t* const kAboutTitle = L"About";

constexpr int kIdProgram = 1001;
constexpr int kIdExit = 1002;
constexpr int kIdAbout = 1003;
constexpr int kIdLog = 1005;

constexpr DWORD kDefaultWaitMs = 10000;
constexpr DWORD kAboutWaitMs = 10000;
constexpr DWORD kPollMs = 50;

const char* const kUsageText =
    "usage: ui-driver COMMAND [ARGS]\n"
    "  wait-window [TIMEOUT_MS]   wait for the main window to be visible, print its handle\n"
    "  click program|exit|about   press a button of the main window\n"
    "  log                        print the log items, one a line (newlines shown as \\n)\n"
    "  follow TIMEOUT_MS [--press-program] [--from N] [--box-delay MS] [--pause-on-box FILE]\n"
    "                             print new log items and error boxes (\"[box] TEXT\"), answer\n"
    "                             each box with OK, end with \"[done]\" when PROGRAM is enabled\n"
    "                             again after a run;\n"
    "                             --press-program presses PROGRAM once following has begun;\n"
    "                             --from N starts with item N (0 = first) instead of the\n"
    "                             items that come after the start;\n"
    "                             --box-delay waits MS before answering a box;\n"
    "                             --pause-on-box creates FILE at each box and waits until it\n"
    "                             is deleted before answering\n"
    "  about-open                 open the About box and wait for it, print its handle\n"
    "  about-close                close the About box with OK\n"
    "  state                      print program=enabled or program=disabled\n";

int Usage() {
  fputs(kUsageText, stderr);
  return kUsage;
}

void WriteUtf8(FILE* stream, const std::wstring& text) {
  const std::string bytes = Utf8(text);
  fwrite(bytes.data(), 1, bytes.size(), stream);
  fputc('\n', stream);
  // A script reads `follow` while it runs: every line must leave at once.
  fflush(stream);
}

void Print(const std::wstring& line) { WriteUtf8(stdout, line); }

int Fail(const std::wstring& why) {
  WriteUtf8(stderr, L"ui-driver: " + why);
  return kFailed;
}

// One item, one output line: line breaks inside an item are shown as \n and \r.
std::wstring OneLine(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\r') {
      out += L"\\r";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::wstring HandleText(HWND window) {
  wchar_t text[32];
  _snwprintf_s(text, 32, _TRUNCATE, L"0x%llX",
               static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
  return text;
}

// A whole decimal number; false for anything else (empty, sign, trailing characters).
bool ParseCount(const wchar_t* text, DWORD* out) {
  if (!text || *text < L'0' || *text > L'9') return false;
  wchar_t* end = nullptr;
  const unsigned long long value = wcstoull(text, &end, 10);
  if (*end != L'\0' || value > 0xFFFFFFFFull) return false;
  *out = static_cast<DWORD>(value);
  return true;
}

HWND MainWindow() { return FindWindowW(kMainClass, kMainTitle); }

DWORD ProcessOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

// A single look (no waiting) for a visible dialog box of the updater with this title.
HWND FindBox(DWORD pid, const wchar_t* title) {
  return WaitForTopWindow(pid, kDialogClass, title, 0);
}


int WaitWindow(int argc, wchar_t** argv) {
  DWORD timeoutMs = kDefaultWaitMs;
  if (argc > 3 || (argc == 3 && !ParseCount(argv[2], &timeoutMs))) return Usage();
  HWND main = WaitForTopWindow(0, kMainClass, kMainTitle, timeoutMs);
  if (!main) return Fail(L"the main window did not appear");
  Print(HandleText(main));
  return kOk;
}

// Every command below works on a window that is already there.
bool FindMain(HWND* main) {
  *main = MainWindow();
  if (*main) return true;
  Fail(L"the main window is not open");
  return false;
}

// Presses a button as a person would; `name` is only for the message.
int PressButton(HWND main, int id, const wchar_t* name) {
  HWND button = GetDlgItem(main, id);
  if (!button) return Fail(std::wstring(L"the button ") + name + L" is missing");
  // A person cannot press a greyed button, nor one behind a modal box.
  if (!IsWindowEnabled(button) || !IsWindowEnabled(main)) {
    return Fail(std::wstring(L"the button ") + name +
                L" cannot be pressed now (it is disabled or a box is open)");
  }
  // Posted: the command may open a modal box, which would hold a sent message until it closes.
  if (!PostMessageW(button, BM_CLICK, 0, 0)) return Fail(L"the click could not be posted");
  return kOk;
}

int Click(int argc, wchar_t** argv) {
  if (argc != 3) return Usage();
  const struct {
    const wchar_t* name;
    int id;
  } kButtons[] = {{L"program", kIdProgram}, {L"exit", kIdExit}, {L"about", kIdAbout}};
  int id = 0;
  for (const auto& b : kButtons) {
    if (wcscmp(argv[2], b.name) == 0) id = b.id;
  }
  if (id == 0) return Usage();

  HWND main;
  if (!FindMain(&main)) return kFailed;
  return PressButton(main, id, argv[2]);
}

int Log(int argc, wchar_t**) {
  if (argc != 2) return Usage();
  HWND main;
  if (!FindMain(&main)) return kFailed;
  HWND list = GetDlgItem(main, kIdLog);
  if (!list) return Fail(L"the log list is missing");
  for (const std::wstring& item : ReadListBox(list)) Print(OneLine(item));
  return kOk;
}

struct FollowOptions {
  DWORD timeoutMs = 0;
  bool hasFrom = false;
  DWORD from = 0;
  DWORD boxDelayMs = 0;
  std::wstring pauseFile;
  bool pressProgram = false;
};

bool ParseFollow(int argc, wchar_t** argv, FollowOptions* o) {
  if (argc < 3 || !ParseCount(argv[2], &o->timeoutMs)) return false;
  for (int i = 3; i < argc; ++i) {
    const std::wstring option = argv[i];
    if (option == L"--press-program") {
      o->pressProgram = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const wchar_t* value = argv[++i];
    if (option == L"--from") {
      if (!ParseCount(value, &o->from)) return false;
      o->hasFrom = true;
    } else if (option == L"--box-delay") {
      if (!ParseCount(value, &o->boxDelayMs)) return false;
    } else if (option == L"--pause-on-box") {
      if (value[0] == L'\0') return false;
      o->pauseFile = DosPath(value);
    } else {
      return false;
    }
  }
  return true;
}

// Prints the log items from index `*printed` on and advances it.
void PrintNewItems(HWND list, size_t* printed) {
  const std::vector<std::wstring> items = ReadListBox(list);
  for (size_t i = *printed; i < items.size(); ++i) Print(OneLine(items[i]));
  if (items.size() > *printed) *printed = items.size();
}

// Holds the box open while the pause file exists, so that a script can photograph it.
bool PauseOnFile(const std::wstring& file, ULONGLONG deadline) {
  if (!WriteTextFile(file, "")) {
    Fail(L"cannot create " + file);
    return false;
  }
  while (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount64() >= deadline) {
      Fail(L"timed out while " + file + L" still exists");
      return false;
    }
    Sleep(kPollMs);
  }
  return true;
}

bool AnswerBox(HWND box, const FollowOptions& o, ULONGLONG deadline) {
  BoxInfo info;
  if (!ReadMessageBox(box, &info)) return true;  // closed meanwhile: nothing to answer
  Print(L"[box] " + OneLine(info.text));
  if (o.boxDelayMs > 0) Sleep(o.boxDelayMs);
  if (!o.pauseFile.empty() && !PauseOnFile(o.pauseFile, deadline)) return false;
  if (!DismissMessageBox(box, IDOK)) {
    Fail(L"the message box did not close on OK");
    return false;
  }
  return true;
}

int Follow(int argc, wchar_t** argv) {
  FollowOptions o;
  if (!ParseFollow(argc, argv, &o)) return Usage();
  const ULONGLONG deadline = GetTickCount64() + o.timeoutMs;

  HWND main;
  if (!FindMain(&main)) return kFailed;
  const DWORD pid = ProcessOf(main);
  HWND list = GetDlgItem(main, kIdLog);
  HWND program = GetDlgItem(main, kIdProgram);
  if (!list || !program) return Fail(L"the log list or PROGRAM is missing");

  size_t printed = o.hasFrom ? o.from : ReadListBox(list).size();
  // Pressing here, after the count, lets no line of the run slip by: a run that finds no
  // port can write its lines before a separate follow command has even started.
  if (o.pressProgram && PressButton(main, kIdProgram, L"program") != kOk) return kFailed;
  bool sawRun = false;
  for (;;) {
    if (!IsWindow(main)) return Fail(L"the main window closed");
    const bool enabled = IsWindowEnabled(program) != FALSE;
    PrintNewItems(list, &printed);
    if (!enabled) sawRun = true;
    if (sawRun && enabled) {
      // The run enables PROGRAM as its last step: its lines are all in by now.
      PrintNewItems(list, &printed);
      Print(L"[done]");
      return kOk;
    }
    if (HWND box = FindBox(pid, kErrorTitle)) {
      // Lines the run wrote before showing the box come first.
      PrintNewItems(list, &printed);
      if (!AnswerBox(box, o, deadline)) return kFailed;
      continue;
    }
    if (GetTickCount64() >= deadline) return Fail(L"timed out");
    Sleep(kPollMs);
  }
}

int AboutOpen(int argc, wchar_t**) {
  if (argc != 2) return Usage();
  HWND main;
  if (!FindMain(&main)) return kFailed;
  const DWORD pid = ProcessOf(main);
  if (FindBox(pid, kAboutTitle)) return Fail(L"the About box is already open");
  if (!IsWindowEnabled(main)) return Fail(L"the main window is disabled (a box is open)");
  HWND button = GetDlgItem(main, kIdAbout);
  // Posted: the About box is modal and holds the command until it closes.
  if (!PostMessageW(main, WM_COMMAND, MAKEWPARAM(kIdAbout, BN_CLICKED),
                    reinterpret_cast<LPARAM>(button))) {
    return Fail(L"the command could not be posted");
  }
  HWND about = WaitForTopWindow(pid, kDialogClass, kAboutTitle, kAboutWaitMs);
  if (!about) return Fail(L"the About box did not appear");
  Print(HandleText(about));
  return kOk;
}

int AboutClose(int argc, wchar_t**) {
  if (argc != 2) return Usage();
  HWND main;
  if (!FindMain(&main)) return kFailed;
  HWND about = FindBox(ProcessOf(main), kAboutTitle);
  if (!about) return Fail(L"the About box is not open");
  if (!DismissMessageBox(about, IDOK)) return Fail(L"the About box did not close on OK");
  return kOk;
}

int State(int argc, wchar_t**) {
  if (argc != 2) return Usage();
  HWND main;
  if (!FindMain(&main)) return kFailed;
  HWND program = GetDlgItem(main, kIdProgram);
  if (!program) return Fail(L"PROGRAM is missing");
  Print(IsWindowEnabled(program) ? L"program=enabled" : L"program=disabled");
  return kOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const struct {
    const wchar_t* name;
    int (*run)(int, wchar_t**);
  } kCommands[] = {
      {L"wait-window", WaitWindow}, {L"click", Click},          {L"log", Log},
      {L"follow", Follow},          {L"about-open", AboutOpen}, {L"about-close", AboutClose},
      {L"state", State},
  };
  for (const auto& c : kCommands) {
    if (wcscmp(argv[1], c.name) == 0) return c.run(argc, argv);
  }
  return Usage();
}
