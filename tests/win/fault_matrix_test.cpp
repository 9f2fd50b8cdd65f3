// Faults around update runs of the real TavrolinUpdater.exe, one table row each: devices that
// answer badly or go away, ports that come and go between runs, a DFU tool that fails in every
// way, an awkward program folder, and Exit, closing the window and About at each stage of a run.
//
// Every row checks the lines the run adds to the log, the boxes it shows, PROGRAM, that the
// process lives on (or, for Exit and close, ends with code 0) and that the updater holds as many
// handles after the faulty run as after a first, good one.
#include "app_fixture.h"
#include "link/device_link.h"
#include "tests/support/handle_count.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::wstring>;

const Lines COMPLETE = {COMPLETE_1, COMPLETE_2};

constexpr DWORD RUN_MS = 20000;
constexpr DWORD HANGING_TOOL_RUN_MS = 60000; // the program waits 30 s for the tool
constexpr DWORD EXIT_MS = 5000;
constexpr DWORD SETTLE_MS = 5000;            // for the run's thread to end after PROGRAM comes back
constexpr DWORD STAGE_MS = 20000;
constexpr DWORD IGNORED_MS = 1000;           // how long an ignored Exit or close is watched

struct Outcome {
    Lines lines;                     // the lines the run adds to the log
    std::vector<std::wstring> boxes; // the texts of the boxes it shows, in order
};

Lines Found(int port)
{
    return {L"Tavrolin was found on COM" + std::to_wstring(port) + L".\n", L"Current firmware version: V1.5\n",
            BURNING};
}

Outcome Flashed(int port) { return {Join(Found(port), COMPLETE), {}}; }
Outcome NotFound() { return {NOT_FOUND, {NOT_FOUND_BOX}}; }
Outcome ToolFailed(int port) { return {Join(Found(port), NOT_FOUND), {FAILED_BOX}}; }
Outcome ToolNotStarted(int port) { return {Join(Found(port), NOT_FOUND), {LAUNCH_BOX, FAILED_BOX}}; }

// A reply frame as the device frames it, as hex for "behave N mode=raw raw=...": STX, the
// payload length over two bytes with the 0xF marker, a payload carrying the signature and
// version 1.5 at their places, then `endByte`.
std::string FrameHex(unsigned length, unsigned endByte)
{
    std::vector<unsigned> bytes = {0x02, length & 0xFF, 0xF0 | (length >> 8)};
    for (unsigned i = 0; i < length; i++)
        bytes.push_back(i == 1 ? 'P' : i == 2 ? 'S' : i == 3 ? 'U' : i == 11 ? 15 : i & 0xFF);
    bytes.push_back(endByte);
    std::string hex;
    char pair[3];
    for (unsigned b : bytes) {
        snprintf(pair, sizeof pair, "%02x", b & 0xFF);
        hex += pair;
    }
    return hex;
}

// One press of PROGRAM: what the simulator is told before it, and what the run must show.
struct Pass {
    std::vector<std::string> sim;
    Outcome expected;
};

enum class Stage { None, Search, BootloaderPause, ToolRunning, FailureBox };
enum class Action { None, Exit, Close, About };

// How often a simulated device did something ("reply", "dfu", "hangup") during the row's runs.
struct EventCount {
    int port;
    const char* word;
    size_t count;
};

struct Row {
    std::string name;
    std::vector<Pass> passes;
    std::string toolConfig;      // DfuSeCommand.cfg for the row's runs
    bool toolPresent = true;
    bool firmwarePresent = true;
    std::wstring folder;         // the program folder's name; empty: one named after the row
    size_t toolStarts = 0;       // how often the row's runs start the tool
    DWORD runMs = RUN_MS;
    std::vector<EventCount> events;
    Stage stage = Stage::None;   // where the action comes
    Action action = Action::None;
    bool actionIgnored = false;  // the main window is disabled by a box then, and the action must do nothing

    bool EndsProcess() const { return (action == Action::Exit || action == Action::Close) && !actionIgnored; }
};

// Failure messages name the row, not its bytes.
void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

Row Simple(const char* name, std::vector<std::string> sim, Outcome expected, size_t toolStarts)
{
    Row row;
    row.name = name;
    row.passes = {{std::move(sim), std::move(expected)}};
    row.toolStarts = toolStarts;
    return row;
}

Row WithEvents(Row row, std::vector<EventCount> events)
{
    row.events = std::move(events);
    return row;
}

Row WithTool(Row row, const char* config, bool toolPresent = true, bool firmwarePresent = true)
{
    row.toolConfig = config;
    row.toolPresent = toolPresent;
    row.firmwarePresent = firmwarePresent;
    return row;
}

const std::vector<std::string> DEVICE_ON_1 = {"add 1", "behave 1 mode=identify"};

std::vector<std::string> DeviceOn1(const std::string& behaviour)
{
    return {"add 1", "behave 1 mode=identify " + behaviour};
}

std::vector<Row> FaultRows()
{
    Row hangs = WithTool(Simple("tool_hangs", DEVICE_ON_1, ToolFailed(1), 1), "hang=1\n");
    hangs.runMs = HANGING_TOOL_RUN_MS;
    Row folder = Simple("folder_with_spaces_and_accents", DEVICE_ON_1, Flashed(1), 1);
    folder.folder = L"Firmware \u00dcn\u00efc\u00f6d\u00e9 Tools"; // "Firmware Ünïcödé Tools"
    Row vanishing;
    vanishing.name = "port_vanishes_between_runs";
    vanishing.passes = {
        {{"add 3", "behave 3 mode=identify"}, Flashed(3)},
        {{"remove 3", "add 5", "behave 5 mode=identify"}, Flashed(5)},
        {{"remove 5"}, NotFound()},
    };
    vanishing.toolStarts = 2;
    return {
        Simple("flood_not_found", {"add 1", "behave 1 mode=flood"}, NotFound(), 0),
        Simple("oversized_reply_not_found", {"add 1", "behave 1 mode=raw raw=" + FrameHex(4093, 0x03)},
               NotFound(), 0),
        Simple("largest_reply_found", {"add 1", "behave 1 mode=raw raw=" + FrameHex(4092, 0x03)}, Flashed(1), 1),
        WithEvents(Simple("reply_byte_by_byte_found", DeviceOn1("chunk=1 gap=1"), Flashed(1), 1), {{1, "reply", 1}}),
        Simple("wrong_end_byte_not_found", {"add 1", "behave 1 mode=raw raw=" + FrameHex(12, 0x02)}, NotFound(), 0),
        WithEvents(Simple("reply_twice_one_run", DeviceOn1("repeat=2"), Flashed(1), 1),
                   {{1, "reply", 2}, {1, "dfu", 1}}),
        WithEvents(Simple("garbage_reply_to_enter_dfu", DeviceOn1("dfuraw=ff02fdff00505355030255aa"), Flashed(1), 1),
                   {{1, "dfu", 1}}),
        WithEvents(Simple("cable_pulled_during_identify", DeviceOn1("onidentify=hangup"), NotFound(), 0),
                   {{1, "hangup", 1}, {1, "reply", 0}}),
        WithEvents(Simple("cable_pulled_during_identify_device_later",
                          {"add 1", "behave 1 mode=identify onidentify=hangup", "add 3", "behave 3 mode=identify"},
                          Flashed(3), 1),
                   {{1, "hangup", 1}, {3, "dfu", 1}}),
        WithEvents(Simple("cable_pulled_before_tool", DeviceOn1("dfu=hangup dfudelay=0"), Flashed(1), 1),
                   {{1, "dfu", 1}, {1, "hangup", 1}}),
        vanishing,
        WithTool(Simple("tool_crashes", DEVICE_ON_1, ToolFailed(1), 1), "crash=1\n"),
        WithTool(Simple("tool_exits_non_zero", DEVICE_ON_1, ToolFailed(1), 1), "exit_code=3\n"),
        hangs,
        WithTool(Simple("tool_missing", DEVICE_ON_1, ToolNotStarted(1), 0), "", false),
        WithTool(Simple("firmware_missing", DEVICE_ON_1, ToolNotStarted(1), 0), "", true, false),
        folder,
    };
}

// The stages of a run at which the user acts. Five silent ports before the device make the
// search last about half a second.
struct StageCase {
    const char* name;
    Stage stage;
    const char* toolConfig;
    Outcome expected; // when the action leaves the run alone
    bool modal;       // a modal box disables the main window at this stage
};

const std::vector<std::string> SILENT_PORTS_THEN_DEVICE = {"add 1", "add 2", "add 3", "add 4", "add 5",
                                                           "add 6", "behave 6 mode=identify"};

std::vector<Row> StageRows()
{
    const StageCase stages[] = {
        {"search", Stage::Search, "", Flashed(6), false},
        {"bootloader_pause", Stage::BootloaderPause, "", Flashed(6), false},
        {"tool_running", Stage::ToolRunning, "delay_ms=3000\n", Flashed(6), false},
        {"failure_box", Stage::FailureBox, "exit_code=3\n", ToolFailed(6), true},
    };
    const struct {
        const char* name;
        Action action;
    } actions[] = {{"exit", Action::Exit}, {"close", Action::Close}, {"about", Action::About}};
    std::vector<Row> rows;
    for (const StageCase& stage : stages) {
        for (const auto& action : actions) {
            Row row = Simple("", SILENT_PORTS_THEN_DEVICE, stage.expected, 1);
            row.name = std::string(action.name) + "_during_" + stage.name;
            row.toolConfig = stage.toolConfig;
            row.stage = stage.stage;
            row.action = action.action;
            // The failure box disables the main window, and the system ignores system commands
            // (its close button, Alt+F4, SC_CLOSE) to a disabled window. A posted click still
            // reaches the Exit button.
            row.actionIgnored = stage.modal && action.action == Action::Close;
            rows.push_back(row);
        }
    }
    return rows;
}

std::vector<Row> AllRows()
{
    std::vector<Row> rows = FaultRows();
    for (const Row& row : StageRows())
        rows.push_back(row);
    return rows;
}

std::vector<std::wstring> Texts(const std::vector<BoxInfo>& boxes)
{
    std::vector<std::wstring> texts;
    for (const BoxInfo& box : boxes)
        texts.push_back(box.text);
    return texts;
}

bool HasCommand(const std::vector<SimFrame>& frames, uint8_t command)
{
    for (const SimFrame& frame : frames)
        if (frame.bytes.size() == 4 && frame.bytes[2] == command)
            return true;
    return false;
}

// A failure in one line for the table: the last line of its message (the check's own note) and
// the run it happened in.
std::string FailureNote(const testing::TestPartResult& part)
{
    std::string text = part.message();
    size_t trace = text.find("\nGoogle Test trace:");
    std::string run;
    if (trace != std::string::npos) {
        std::string traces = text.substr(trace);
        while (!traces.empty() && traces.back() == '\n')
            traces.pop_back();
        run = " [" + traces.substr(traces.rfind(": ") + 2) + "]";
        text.resize(trace);
    }
    size_t last = text.find_last_of('\n');
    return (last == std::string::npos ? text : text.substr(last + 1)) + run;
}

class FaultMatrix : public AppTest, public testing::WithParamInterface<Row> {
protected:
    static std::vector<std::string> results;
    DWORD startTick = 0;
    size_t runLogStart = 0;   // log lines before the current run
    size_t toolsBefore = 0;   // tool starts before the row's runs

    void SetUp() override
    {
        startTick = GetTickCount();
        AppTest::SetUp();
    }
    void TearDown() override
    {
        AppTest::TearDown();
        Record();
    }
    static void TearDownTestSuite()
    {
        printf("\n[matrix] %zu rows\n", results.size());
        for (const std::string& line : results)
            printf("[matrix] %s\n", line.c_str());
        fflush(stdout);
    }

    // One line per row for the table: name, PASS or FAIL, time, and the first failure.
    void Record()
    {
        const testing::TestResult* result = testing::UnitTest::GetInstance()->current_test_info()->result();
        char line[400];
        std::string note;
        for (int i = 0; i < result->total_part_count() && note.empty(); i++)
            if (result->GetTestPartResult(i).failed())
                note = FailureNote(result->GetTestPartResult(i));
        snprintf(line, sizeof line, "%s: %s (%.1f s)%s%.200s", GetParam().name.c_str(),
                 HasFailure() ? "FAIL" : "PASS", (GetTickCount() - startTick) / 1000.0, note.empty() ? "" : " - ",
                 note.c_str());
        results.push_back(line);
        printf("[row] %s\n", line);
        fflush(stdout);
    }

    bool Say(const std::string& command)
    {
        std::string reply;
        bool ok = SimCommand(sim, command.c_str(), &reply);
        EXPECT_TRUE(ok) << "simulator: '" << command.substr(0, 80) << "' -> " << reply;
        return ok;
    }

    // A good run first: what Wine opens once for a process (the first serial port, the first
    // tool launch) is then in the count the faulty runs must come back to.
    void WarmUp(int* handles)
    {
        ASSERT_TRUE(Say("add 2") && Say("behave 2 mode=identify"));
        int threads = CountProcessThreads(process.dwProcessId);
        ASSERT_NO_FATAL_FAILURE(StartRun());
        EXPECT_TRUE(FinishRun(RUN_MS).empty());
        ASSERT_EQ(Log(), Join({VERSION_LINE}, SUCCESS)) << "the warm-up run failed";
        ASSERT_TRUE(Say("reset"));
        // The run's thread ends just after it enables PROGRAM.
        WaitUntil([&] { return CountProcessThreads(process.dwProcessId) <= threads; }, SETTLE_MS);
        *handles = CountProcessHandles(process.dwProcessId);
        ASSERT_GT(*handles, 0);
    }

    bool Reached(Stage stage)
    {
        std::vector<SimFrame> frames;
        switch (stage) {
        case Stage::Search: // the first port asked, the device not yet found
            return SimFrames(sim, 1, &frames) && !frames.empty() && Log().size() == runLogStart;
        case Stage::BootloaderPause: // the device sent to its bootloader, the tool not yet started
            return SimFrames(sim, 6, &frames) && HasCommand(frames, CMD_ENTER_DFU) &&
                   Log().size() == runLogStart + 2;
        case Stage::ToolRunning:
            return dir.ToolStarts().size() > toolsBefore;
        case Stage::FailureBox:
            return ErrorBox(0) != nullptr;
        case Stage::None:
            break;
        }
        return true;
    }

    // Exit and close end the process at once with code 0, whatever the run is doing. About opens
    // its box over the running run and closes again.
    void ActAtStage(const Row& row)
    {
        ASSERT_TRUE(WaitUntil([&] { return Reached(row.stage); }, STAGE_MS)) << "the run did not reach the stage";
        if (row.action == Action::About) {
            Press(IDC_ABOUT);
            HWND about = AboutBox(EXIT_MS);
            ASSERT_NE(about, nullptr) << "the About box did not open";
            size_t linesWhenShown = Log().size() - runLogStart;
            EXPECT_FALSE(ProgramEnabled()) << "the run ended before the About box opened";
            printf("[figures] %s: About box shown with %zu line(s) of the run in the log\n", row.name.c_str(),
                   linesWhenShown);
            PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
            EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }, EXIT_MS)) << "the About box did not close";
            return;
        }
        if (row.actionIgnored) {
            EXPECT_FALSE(IsWindowEnabled(main)) << "the box disables the main window";
            Quit(row.action);
            DWORD code = 0;
            EXPECT_FALSE(Exited(IGNORED_MS, &code)) << "the updater ended, code " << code;
            EXPECT_NE(ErrorBox(0), nullptr) << "the box must stay up";
            return;
        }
        Quit(row);
    }

    // Exit or close as the user gives it; the updater must end at once with code 0.
    void Quit(const Row& row)
    {
        DWORD start = GetTickCount(), code = 77;
        Quit(row.action);
        ASSERT_TRUE(Exited(EXIT_MS, &code)) << "the updater did not end";
        EXPECT_EQ(code, 0u);
        printf("[figures] %s: ended %lu ms after the action\n", row.name.c_str(), GetTickCount() - start);
    }
    void Quit(Action action)
    {
        if (action == Action::Exit)
            Press(IDC_EXIT);
        else
            PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    }

    // One press of PROGRAM, the row's action at its stage, and what the run showed.
    void RunPass(const Row& row, const Pass& pass)
    {
        for (const std::string& command : pass.sim)
            ASSERT_TRUE(Say(command));
        runLogStart = Log().size();
        ASSERT_NO_FATAL_FAILURE(StartRun());
        if (row.action != Action::None) {
            ASSERT_NO_FATAL_FAILURE(ActAtStage(row));
        }
        if (row.EndsProcess())
            return;
        std::vector<BoxInfo> boxes = FinishRun(row.runMs);
        Lines log = Log();
        ASSERT_GE(log.size(), runLogStart) << "the log lost lines";
        EXPECT_EQ(log[0], VERSION_LINE) << "the version line";
        EXPECT_EQ(Lines(log.begin() + static_cast<ptrdiff_t>(runLogStart), log.end()), pass.expected.lines)
            << "the run's log lines";
        EXPECT_EQ(Texts(boxes), pass.expected.boxes) << "the run's boxes";
    }

    void CheckEvents(const Row& row)
    {
        for (const EventCount& expected : row.events) {
            std::vector<SimEvent> events;
            ASSERT_TRUE(SimEvents(sim, expected.port, &events));
            size_t count = 0;
            for (const SimEvent& event : events)
                count += event.word == expected.word;
            EXPECT_EQ(count, expected.count) << "COM" << expected.port << ": " << expected.word;
        }
    }

    void CheckToolStarts(const Row& row)
    {
        std::vector<ToolStart> starts = dir.ToolStarts();
        EXPECT_EQ(starts.size() - toolsBefore, row.toolStarts) << "tool starts";
        const std::wstring parameters = L"-c -d --fn \"" + dir.path + L"Tavrolin.dfu\"";
        for (const ToolStart& start : starts)
            EXPECT_NE(start.cmdline.find(parameters), std::wstring::npos)
                << "the tool's command line: " << testing::PrintToString(start.cmdline);
    }

    void CheckHandles(int before, const std::map<std::wstring, int>& typesBefore)
    {
        DWORD pid = process.dwProcessId;
        WaitUntil([&] { return CountProcessHandles(pid) == before; }, SETTLE_MS);
        int after = CountProcessHandles(pid);
        EXPECT_EQ(after, before) << "the updater's handles after the faulty run";
        if (after == before)
            return;
        std::map<std::wstring, int> types = HandleTypesOf(pid);
        for (const auto& [type, count] : types)
            if (count != (typesBefore.count(type) ? typesBefore.at(type) : 0))
                printf("  %ls: %d -> %d\n", type.c_str(), typesBefore.count(type) ? typesBefore.at(type) : 0, count);
    }
};

std::vector<std::string> FaultMatrix::results;

TEST_P(FaultMatrix, Row)
{
    const Row& row = GetParam();
    if (!row.folder.empty()) {
        dir.Remove();
        ASSERT_TRUE(dir.Create(row.folder));
        dir.InstallUpdater();
    }
    ASSERT_NO_FATAL_FAILURE(Launch());
    int handles = -1;
    std::map<std::wstring, int> types;
    if (!row.EndsProcess()) {
        ASSERT_NO_FATAL_FAILURE(WarmUp(&handles));
        types = HandleTypesOf(process.dwProcessId);
    }
    dir.ConfigureTool(row.toolConfig);
    dir.InstallTool(row.toolPresent);
    dir.InstallFirmware(row.firmwarePresent);
    toolsBefore = dir.ToolStarts().size();

    for (size_t i = 0; i < row.passes.size(); i++) {
        SCOPED_TRACE("run " + std::to_string(i + 1));
        ASSERT_NO_FATAL_FAILURE(RunPass(row, row.passes[i]));
        if (row.EndsProcess())
            return;
    }
    EXPECT_TRUE(ProgramEnabled()) << "PROGRAM enabled at the end";
    DWORD code = 0;
    EXPECT_FALSE(Exited(0, &code)) << "the updater ended, code " << code;
    CheckToolStarts(row);
    CheckEvents(row);
    CheckHandles(handles, types);
    if (row.actionIgnored) {
        SCOPED_TRACE("the same action once the box is gone");
        Quit(row);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, testing::ValuesIn(AllRows()),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

} // namespace
