// A fixture for whole update runs: a real (hidden) main window with the log list and PROGRAM,
// a program directory holding the stand-in DFU tool and a firmware file, and the simulated
// devices on virtual COM ports. Message boxes are read and dismissed as a person would.
#pragma once

#include "program_dir.h"
#include "tests/support/sim_client.h"
#include "tests/support/ui_helpers.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct SeenBox {
    BoxInfo info;
    size_t logLinesWhenShown = 0;
    bool programEnabledWhenShown = false;
    double shownMs = 0;
};

struct RunOutcome {
    bool ended = false; // PROGRAM enabled again within the time allowed
    double startMs = 0;
    double endMs = 0;
    std::vector<std::wstring> log;
    std::vector<SeenBox> boxes;
};

double NowMs();

class RunFixture {
public:
    SimClient sim{};
    HWND window = nullptr;
    HWND log = nullptr;
    HWND program = nullptr;
    ProgramDir dir;

    bool SetUp(const std::wstring& name);
    void TearDown();

    bool Sim(const std::string& command);

    // Starts a run as the PROGRAM handler does and serves it until PROGRAM is enabled again,
    // dismissing every box it shows.
    RunOutcome Run(DWORD timeoutMs);
};
