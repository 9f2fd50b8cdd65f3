#include "ui_helpers.h"

#include <algorithm>

namespace {

constexpr DWORD kPollMs = 5;
// Bounded so that a hung window stalls a test for seconds, not forever.
constexpr UINT kSendTimeoutMs = 5000;

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[256] = {};
  const int n = GetClassNameW(hwnd, name, 256);
  return std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0);
}

// Window text without sending WM_GETTEXT, so a busy owner thread cannot block the search.
std::wstring TitleOf(HWND hwnd) {
  wchar_t text[512] = {};
  const int n = InternalGetWindowText(hwnd, text, 512);
  return std::wstring(text, n > 0 ? static_cast<size_t>(n) : 0);
}

// WM_GETTEXT rather than GetWindowTextW: Windows marshals the message to other processes,
// while GetWindowTextW gives nothing for another process's controls.
std::wstring TextOf(HWND hwnd) {
  DWORD_PTR len = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len) ||
      len == 0) {
    return L"";
  }
  std::wstring text(len + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &got)) {
    return L"";
  }
  text.resize(got <= len ? got : len);
  return text;
}

struct TopWindowQuery {
  DWORD pid;
  const wchar_t* className;
  const wchar_t* title;
  HWND found;
};

BOOL CALLBACK MatchTopWindow(HWND hwnd, LPARAM param) {
  auto* q = reinterpret_cast<TopWindowQuery*>(param);
  if (!IsWindowVisible(hwnd)) return TRUE;
  if (q->pid != 0) {
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner != q->pid) return TRUE;
  }
  if (q->className && ClassOf(hwnd) != q->className) return TRUE;
  if (q->title && TitleOf(hwnd) != q->title) return TRUE;
  q->found = hwnd;
  return FALSE;
}

BOOL CALLBACK CollectBoxControl(HWND child, LPARAM param) {
  auto* info = reinterpret_cast<BoxInfo*>(param);
  if (!IsWindowVisible(child)) return TRUE;
  const std::wstring cls = ClassOf(child);
  if (_wcsicmp(cls.c_str(), L"Button") == 0) {
    info->buttons.push_back(TextOf(child));
  } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
    const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
    // Wine keeps an empty icon static in boxes without an icon; only a set icon counts.
    DWORD_PTR icon = 0;
    if ((style & SS_TYPEMASK) == SS_ICON &&
        SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &icon) &&
        icon != 0) {
      info->hasIcon = true;
    }
  }
  return TRUE;
}

}  // namespace

bool BoxInfo::HasButton(const std::wstring& label) const {
  return std::find(buttons.begin(), buttons.end(), label) != buttons.end();
}

bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    PumpMessages();
    if (cond()) return true;
    if (GetTickCount64() >= deadline) return false;
    // Wakes early for sent or posted messages so the pump answers them promptly.
    // cppcheck-suppress nullPointer ; no handles to wait on: an empty array is allowed
    MsgWaitForMultipleObjectsEx(0, nullptr, kPollMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

HWND WaitForTopWindow(DWORD pid, const wchar_t* className, const wchar_t* title, DWORD timeoutMs) {
  TopWindowQuery q{pid, className, title, nullptr};
  WaitUntil(
      [&q] {
        q.found = nullptr;
        EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&q));
        return q.found != nullptr;
      },
      timeoutMs);
  return q.found;
}

static void ReadBoxOnce(HWND box, BoxInfo* out) {
  *out = BoxInfo{};
  out->title = TextOf(box);
  HWND text = GetDlgItem(box, 0xFFFF);
  if (text) out->text = TextOf(text);
  EnumChildWindows(box, CollectBoxControl, reinterpret_cast<LPARAM>(out));
  out->owner = GetWindow(box, GW_OWNER);
}

bool ReadMessageBox(HWND box, BoxInfo* out) {
  if (!IsWindow(box)) return false;
  // Right after it appears a box may not answer yet: its texts are still being set, or its
  // thread, which may have waited long before showing it, still counts as hung and gets no
  // WM_GETTEXT. Read until the title and a labelled button are there.
  WaitUntil(
      [&] {
        ReadBoxOnce(box, out);
        bool labelled = std::any_of(out->buttons.begin(), out->buttons.end(),
                                    [](const std::wstring& b) { return !b.empty(); });
        return !IsWindow(box) || (!out->title.empty() && labelled);
      },
      3000);
  return IsWindow(box);
}

bool DismissMessageBox(HWND box, int commandId) {
  if (!IsWindow(box)) return false;
  if (!PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(commandId), 0)) return false;
  return WaitUntil([box] { return !IsWindow(box); }, 5000);
}

std::vector<std::wstring> ReadListBox(HWND list) {
  std::vector<std::wstring> items;
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count) ||
      static_cast<LRESULT>(count) == LB_ERR) {
    return items;
  }
  for (WPARAM i = 0; i < count; ++i) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len) ||
        static_cast<LRESULT>(len) == LB_ERR) {
      break;
    }
    std::wstring text(len + 1, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &got) ||
        static_cast<LRESULT>(got) == LB_ERR) {
      break;
    }
    text.resize(got <= len ? got : len);
    items.push_back(text);
  }
  return items;
}
