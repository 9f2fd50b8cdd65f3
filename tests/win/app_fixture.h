// The real TavrolinUpdater.exe in a program folder of its own, started as a user starts it and
// driven through its window: clicks, keys, the log list, message boxes and the About box, with
// simulated devices on virtual COM ports and the stand-in DFU tool beside it.
#pragma once

#include "program_dir.h"
#include "tests/support/sim_client.h"
#include "tests/support/ui_helpers.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "expected_texts.h"

#include <string>
#include <vector>

inline constexpr int IDC_PROGRAM = 1001, IDC_EXIT = 1002, IDC_ABOUT = 1003, IDC_LOG = 1005;
inline const std::vector<std::wstring> SUCCESS = {L"Tavrolin was found on COM2.\n",
                                                  L"Current firmware version: V1.5\n", BURNING,
                                                  COMPLETE_1, COMPLETE_2};
inline const std::vector<std::wstring> NOT_FOUND = {FAILED_1, FAILED_2};

std::vector<std::wstring> Join(std::vector<std::wstring> a, const std::vector<std::wstring>& b);

// True when a child of `parent` shows exactly `text`.
bool HasChildText(HWND parent, const std::wstring& text);

// A key press posted to a control, so it passes the program's message loop like typing does.
void Key(HWND window, WPARAM key);

class AppTest : public testing::Test {
protected:
    SimClient sim{};
    ProgramDir dir;
    PROCESS_INFORMATION process{};
    HWND main = nullptr;
    DWORD shownMs = 0; // process start to main window shown

    void SetUp() override;
    void TearDown() override;
    bool Sim(const std::string& command) { return SimCommand(sim, command.c_str(), nullptr); }

    // Starts the updater from `folder` as Explorer would and waits for its window.
    void Launch(const std::wstring& folder = L"");
    void StartProcess(const std::wstring& folder);
    HWND Control(int id) { return GetDlgItem(main, id); }
    std::vector<std::wstring> Log() { return ReadListBox(Control(IDC_LOG)); }
    bool ProgramEnabled() { return IsWindowEnabled(Control(IDC_PROGRAM)); }
    void Press(int id) { PostMessageW(Control(id), BM_CLICK, 0, 0); }
    // Presses PROGRAM and waits until the program has taken the press (PROGRAM disabled).
    void StartRun();
    // A mouse click at the centre of a control, as a person makes it.
    void MouseClick(int id);
    bool Exited(DWORD timeoutMs, DWORD* code);
    HWND ErrorBox(DWORD timeoutMs);
    HWND AboutBox(DWORD timeoutMs);
    // Waits for the run to end (PROGRAM enabled again), dismissing and collecting its boxes.
    std::vector<BoxInfo> FinishRun(DWORD timeoutMs);
    void AddDevice(int port);
};
