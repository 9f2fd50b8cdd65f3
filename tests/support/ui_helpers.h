// Helpers for tests that drive real windows (Wine + Xvfb or a Windows desktop).
//
// Every wait here keeps pumping the calling thread's messages: a test's own windows live on
// the test thread, and other threads (a message box's owner handling, the code under test)
// SendMessage to them and would block until the test thread looks at its queue.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Polls `cond` every few ms until it is true (returns true) or `timeoutMs` has passed
// (returns false), dispatching this thread's messages in between.
bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs);

// First visible top-level window of class `className` with title `title` that belongs to
// process `pid` (0 = any process); nullptr for either string matches any. Message boxes
// are class L"#32770". Returns nullptr if none appeared within `timeoutMs`.
HWND WaitForTopWindow(DWORD pid, const wchar_t* className, const wchar_t* title, DWORD timeoutMs);

struct BoxInfo {
  std::wstring title;
  std::wstring text;
  std::vector<std::wstring> buttons;  // texts of the visible buttons, in window order
  bool hasIcon = false;               // a visible SS_ICON static showing an icon
  HWND owner = nullptr;

  bool HasButton(const std::wstring& label) const;
};

// Reads what a person sees in a message box. False if `box` is not a window.
bool ReadMessageBox(HWND box, BoxInfo* out);

// Presses a button of the box the way a person would, by default OK, and waits up to 5 s
// for the box to close. True once it is gone.
bool DismissMessageBox(HWND box, int commandId = IDOK);

// Texts of all items of a list box (empty when the list is empty or cannot be read).
std::vector<std::wstring> ReadListBox(HWND list);
