// Whole update runs against simulated devices on virtual COM ports, a real window and the
// stand-in DFU tool.
#include "expected_texts.h"
#include "run_fixture.h"

#include "link/device_link.h"
#include "update/program.h"
#include "tests/support/handle_count.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {


std::wstring FoundLine(int port)
{
    return L"Tavrolin was found on COM" + std::to_wstring(port) + L".\n";
}

using Lines = std::vector<std::wstring>;

Lines Success(int port, const std::wstring& version)
{
    return {FoundLine(port), L"Current firmware version: " + version + L"\n", BURNING, COMPLETE_1, COMPLETE_2};
}

Lines LaunchFailure(int port)
{
    return {FoundLine(port), L"Current firmware version: V1.5\n", BURNING, FAILED_1, FAILED_2};
}

class UpdateRunTest : public testing::Test {
protected:
    RunFixture f;

    void SetUp() override
    {
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '-';
        ASSERT_TRUE(f.SetUp(std::wstring(name.begin(), name.end())));
    }
    void TearDown() override { f.TearDown(); }

    std::vector<SimFrame> Frames(int port)
    {
        std::vector<SimFrame> frames;
        EXPECT_TRUE(SimFrames(f.sim, port, &frames));
        return frames;
    }
    // The commands each port received, in order (0x0A identify, 0x50 enter bootloader).
    std::vector<int> Commands(int port)
    {
        std::vector<int> commands;
        for (const SimFrame& frame : Frames(port))
            commands.push_back(frame.bytes.size() == 4 ? frame.bytes[2] : -1);
        return commands;
    }
    static void ExpectErrorBox(const SeenBox& box, const std::wstring& text, HWND owner)
    {
        EXPECT_EQ(box.info.title, ERROR_TITLE);
        EXPECT_EQ(box.info.text, text);
        EXPECT_EQ(box.info.buttons, std::vector<std::wstring>{L"OK"});
        EXPECT_FALSE(box.info.hasIcon);
        EXPECT_EQ(box.info.owner, owner);
        EXPECT_FALSE(box.programEnabledWhenShown) << "PROGRAM must stay disabled while a box is up";
    }
};

const std::vector<int> IDENTIFY_ONLY = {CMD_IDENTIFY};
const std::vector<int> IDENTIFY_THEN_DFU = {CMD_IDENTIFY, CMD_ENTER_DFU};
const std::vector<int> NOTHING = {};

TEST_F(UpdateRunTest, FindsTheDeviceOnCom3BehindASilentPortAndAnAbsentOne)
{
    ASSERT_TRUE(f.Sim("add 1"));
    ASSERT_TRUE(f.Sim("add 3") && f.Sim("behave 3 mode=identify version=15"));
    ASSERT_TRUE(f.Sim("add 4") && f.Sim("behave 4 mode=identify version=99"));
    RunOutcome run = f.Run(20000);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.log, Success(3, L"V1.5"));
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(Commands(1), IDENTIFY_ONLY);
    EXPECT_EQ(Commands(3), IDENTIFY_THEN_DFU);
    EXPECT_EQ(Commands(4), NOTHING) << "the search must stop at the device";

    // Figures for the record: what a silent port costs and how the bootloader pause holds.
    std::vector<SimFrame> com1 = Frames(1), com3 = Frames(3);
    std::vector<ToolStart> tool = f.dir.ToolStarts();
    ASSERT_EQ(tool.size(), 1u);
    std::vector<SimEvent> events;
    ASSERT_TRUE(SimEvents(f.sim, 3, &events));
    int64_t replyUs = 0;
    for (const SimEvent& e : events)
        if (e.word == "reply" && !replyUs)
            replyUs = e.us;
    double silentAndAbsentMs = (com3[0].us - com1[0].us) / 1000.0;
    double replyToDfuMs = (com3[1].us - replyUs) / 1000.0;
    double dfuToToolMs = (tool[0].startUs - com3[1].us) / 1000.0;
    printf("[figures] silent COM1 + absent COM2: %.1f ms; identify reply to enter-DFU frame: %.1f ms; "
           "enter-DFU frame to tool start: %.1f ms\n",
           silentAndAbsentMs, replyToDfuMs, dfuToToolMs);
    EXPECT_GT(replyUs, 0);
    EXPECT_GE(silentAndAbsentMs, 98.0) << "a silent port gets its full 100 ms to reply";
    EXPECT_GE(dfuToToolMs, 495.0) << "the tool must not start before the 500 ms pause";
    EXPECT_LT(dfuToToolMs, 5000.0);
}

TEST_F(UpdateRunTest, StartsTheToolHiddenWithTheExactCommandLine)
{
    ASSERT_TRUE(f.Sim("add 2") && f.Sim("behave 2 mode=identify"));
    RunOutcome run = f.Run(20000);
    ASSERT_TRUE(run.ended);
    std::vector<ToolStart> tool = f.dir.ToolStarts();
    ASSERT_EQ(tool.size(), 1u);
    std::wstring parameters = L"-c -d --fn \"" + f.dir.path + L"Tavrolin.dfu\"";
    std::wstring cmdline = tool[0].cmdline;
    ASSERT_GE(cmdline.size(), parameters.size());
    EXPECT_EQ(cmdline.substr(cmdline.size() - parameters.size()), parameters) << "whole: " << testing::PrintToString(cmdline);
    EXPECT_NE(cmdline.find(f.dir.path + L"DfuSeCommand.exe"), std::wstring::npos);
    EXPECT_TRUE(tool[0].siFlags & STARTF_USESHOWWINDOW);
    EXPECT_EQ(tool[0].siShow, static_cast<DWORD>(SW_HIDE));
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    EXPECT_EQ(tool[0].cwd, cwd) << "no directory is given: the tool starts in the updater's";
}

TEST_F(UpdateRunTest, OpensPortsFromTenOnByTheirLongName)
{
    ASSERT_TRUE(f.Sim("add 9"));
    ASSERT_TRUE(f.Sim("add 15") && f.Sim("behave 15 mode=identify version=23"));
    RunOutcome run = f.Run(20000);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.log, Success(15, L"V2.3"));
    EXPECT_EQ(Commands(9), IDENTIFY_ONLY);
}

TEST_F(UpdateRunTest, NoDeviceGivesTwoLinesAndOneBoxThenProgramIsEnabled)
{
    for (int port : {1, 7, 20})
        ASSERT_TRUE(f.Sim("add " + std::to_string(port)));
    RunOutcome run = f.Run(30000);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.log, (Lines{FAILED_1, FAILED_2}));
    ASSERT_EQ(run.boxes.size(), 1u);
    ExpectErrorBox(run.boxes[0], NOT_FOUND_BOX, f.window);
    EXPECT_EQ(run.boxes[0].logLinesWhenShown, 2u);
    for (int port : {1, 7, 20})
        EXPECT_EQ(Commands(port), IDENTIFY_ONLY) << "COM" << port;
    EXPECT_TRUE(f.dir.ToolStarts().empty());
}

struct ReplyCase {
    const char* name;
    const char* behaviour; // for COM1
    bool identified;
};

const ReplyCase kReplyCases[] = {
    {"signature", "mode=identify", true},
    {"any_first_byte", "mode=identify b0=119", true},
    {"lower_case", "mode=identify sig=psu", false},
    {"last_letter_wrong", "mode=identify sig=PSV", false},
    {"reply_150ms_late", "mode=identify delay=150", false},
    {"too_short_for_the_version", "mode=identify len=11", false},
    {"too_short_for_the_signature", "mode=identify len=3", false},
    {"exactly_twelve_bytes", "mode=identify len=12", true},
    {"stray_bytes_before", "mode=identify stray=ff0013", true},
    {"split_into_chunks", "mode=identify chunk=3 gap=5", true},
    {"wrong_end_byte", "mode=raw raw=020cf000505355040506070809100f02", false},
    {"empty_payload", "mode=raw raw=0200f003", false},
    {"oversized_header", "mode=raw raw=02fdff0050535503", false},
};

class ReplyTest : public UpdateRunTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, IdentifiesOnlyAProperSignatureInTime)
{
    ASSERT_TRUE(f.Sim("add 1") && f.Sim(std::string("behave 1 ") + GetParam().behaviour));
    RunOutcome run = f.Run(30000);
    ASSERT_TRUE(run.ended);
    if (GetParam().identified) {
        EXPECT_EQ(run.log, Success(1, L"V1.5"));
        EXPECT_EQ(Commands(1), IDENTIFY_THEN_DFU);
    } else {
        EXPECT_EQ(run.log, (Lines{FAILED_1, FAILED_2}));
        EXPECT_EQ(Commands(1), IDENTIFY_ONLY);
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyTest, testing::ValuesIn(kReplyCases),
                         [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateRunTest, LateReplyGoesOnToTheNextPortAndFindsTheDeviceThere)
{
    ASSERT_TRUE(f.Sim("add 1") && f.Sim("behave 1 mode=identify delay=150 version=1"));
    ASSERT_TRUE(f.Sim("add 2") && f.Sim("behave 2 mode=identify version=2"));
    RunOutcome run = f.Run(20000);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.log, Success(2, L"V0.2"));
}

// A reply that lands around the end of the 100 ms wait must never identify the next port.
TEST_F(UpdateRunTest, LateReplyFromARejectedPortNeverIdentifiesTheNextOne)
{
    for (int delay : {94, 98, 100, 102, 106, 150}) {
        SCOPED_TRACE(delay);
        ASSERT_TRUE(f.Sim("reset"));
        ASSERT_TRUE(f.Sim("add 1") && f.Sim("behave 1 mode=identify delay=" + std::to_string(delay)));
        ASSERT_TRUE(f.Sim("add 2"));
        SendMessageW(f.log, LB_RESETCONTENT, 0, 0);
        RunOutcome run = f.Run(30000);
        ASSERT_TRUE(run.ended);
        ASSERT_FALSE(run.log.empty());
        EXPECT_NE(run.log[0], FoundLine(2));
    }
}

struct VersionCase {
    int byte;
    const wchar_t* shown;
};

class VersionTest : public UpdateRunTest, public testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, ShowsTheVersionInTenths)
{
    ASSERT_TRUE(f.Sim("add 5") && f.Sim("behave 5 mode=identify version=" + std::to_string(GetParam().byte)));
    RunOutcome run = f.Run(20000);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.log, Success(5, GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionTest,
                         testing::Values(VersionCase{0, L"V0.0"}, VersionCase{7, L"V0.7"},
                                         VersionCase{15, L"V1.5"}, VersionCase{255, L"V25.5"}),
                         [](const testing::TestParamInfo<VersionCase>& info) { return std::to_string(info.param.byte); });

struct ToolCase {
    const char* name;
    bool toolPresent;
    bool firmwarePresent;
    const char* config;
    bool launchBox; // the "failed to find" box first
    bool succeeds;
    bool toolStarts;
};

const ToolCase kToolCases[] = {
    {"tool_succeeds", true, true, "", false, true, true},
    {"tool_missing", false, true, "", true, false, false},
    {"firmware_missing", true, false, "", true, false, false},
    {"tool_exits_with_an_error", true, true, "exit_code=3\n", false, false, true},
    {"tool_crashes", true, true, "crash=1\n", false, false, true},
};

// A program directory the start-up could not determine (a path too long for it) is empty:
// the run must not start a tool by a bare name, which the system would look for elsewhere.
TEST_F(UpdateRunTest, UnknownProgramDirectoryStartsNoTool)
{
    ProgramDirectory[0] = L'\0';
    ASSERT_TRUE(f.Sim("add 1") && f.Sim("behave 1 mode=identify"));
    RunOutcome run = f.Run(20000);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.log, LaunchFailure(1));
    ASSERT_EQ(run.boxes.size(), 2u);
    ExpectErrorBox(run.boxes[0], LAUNCH_BOX, f.window);
    EXPECT_TRUE(f.dir.ToolStarts().empty());
}

class ToolTest : public UpdateRunTest, public testing::WithParamInterface<ToolCase> {};

TEST_P(ToolTest, ReportsTheOutcomeOfTheTool)
{
    const ToolCase& c = GetParam();
    f.dir.InstallTool(c.toolPresent);
    f.dir.InstallFirmware(c.firmwarePresent);
    f.dir.ConfigureTool(c.config);
    ASSERT_TRUE(f.Sim("add 1") && f.Sim("behave 1 mode=identify"));
    RunOutcome run = f.Run(20000);
    ASSERT_TRUE(run.ended);
    EXPECT_LT(run.endMs - run.startMs, 15000.0) << "no 30 s wait when the tool has ended or never started";
    EXPECT_EQ(f.dir.ToolStarts().size(), c.toolStarts ? 1u : 0u);
    if (c.succeeds) {
        EXPECT_EQ(run.log, Success(1, L"V1.5"));
        EXPECT_TRUE(run.boxes.empty());
        return;
    }
    EXPECT_EQ(run.log, LaunchFailure(1));
    ASSERT_EQ(run.boxes.size(), c.launchBox ? 2u : 1u);
    if (c.launchBox) {
        ExpectErrorBox(run.boxes[0], LAUNCH_BOX, f.window);
        EXPECT_EQ(run.boxes[0].logLinesWhenShown, 3u) << "the burning line comes before the box";
        EXPECT_LT(run.boxes[1].shownMs - run.boxes[0].shownMs, 5000.0);
    }
    ExpectErrorBox(run.boxes.back(), FAILED_BOX, f.window);
    EXPECT_EQ(run.boxes.back().logLinesWhenShown, 5u);
}

INSTANTIATE_TEST_SUITE_P(Tool, ToolTest, testing::ValuesIn(kToolCases),
                         [](const testing::TestParamInfo<ToolCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateRunTest, ToolThatHangsIsReportedAfterThirtySecondsAndLeftRunning)
{
    f.dir.ConfigureTool("hang=1\n");
    ASSERT_TRUE(f.Sim("add 1") && f.Sim("behave 1 mode=identify"));
    RunOutcome run = f.Run(60000);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.log, LaunchFailure(1));
    ASSERT_EQ(run.boxes.size(), 1u);
    ExpectErrorBox(run.boxes[0], FAILED_BOX, f.window);
    std::vector<ToolStart> tool = f.dir.ToolStarts();
    ASSERT_EQ(tool.size(), 1u);
    double waited = run.boxes[0].shownMs - run.startMs;
    EXPECT_GE(waited, 30000.0);
    EXPECT_LT(waited, 40000.0);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, tool[0].pid);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the tool is left running";
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
}

TEST_F(UpdateRunTest, DeviceThatLeavesForItsBootloaderStillGetsTheTool)
{
    ASSERT_TRUE(f.Sim("add 1") && f.Sim("behave 1 mode=identify dfu=hangup"));
    RunOutcome run = f.Run(20000);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.log, Success(1, L"V1.5"));
}

TEST_F(UpdateRunTest, TwentyRunsLeaveNoHandleBehind)
{
    ASSERT_TRUE(f.Sim("add 1"));
    ASSERT_TRUE(f.Sim("add 2") && f.Sim("behave 2 mode=identify"));
    DWORD self = GetCurrentProcessId();
    int threads = CountProcessThreads(self);
    auto runOnce = [&] {
        RunOutcome run = f.Run(20000);
        ASSERT_TRUE(run.ended);
        ASSERT_EQ(run.log.back(), COMPLETE_2);
        // The run's thread ends right after it enables PROGRAM.
        EXPECT_TRUE(WaitUntil([&] { return CountProcessThreads(self) <= threads; }, 5000));
    };
    runOnce(); // the first tool launch opens what Wine keeps for later launches
    int before = CountProcessHandles(self);
    ASSERT_GT(before, 0);
    for (int i = 0; i < 20; i++)
        runOnce();
    int after = CountProcessHandles(self);
    EXPECT_EQ(after, before);
    if (after != before)
        for (const auto& [type, count] : HandleTypesOf(self))
            printf("  %ls: %d\n", type.c_str(), count);
}

} // namespace
