// The real TavrolinUpdater.exe, started as a user starts it and driven through its window:
// clicks, keys, the log list, message boxes and the About box, with simulated devices on
// virtual COM ports and the stand-in DFU tool beside it.
#include "app_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST_F(AppTest, ShowsTheVersionLineFirst)
{
    Launch();
    printf("[figures] process start to main window shown: %lu ms\n", shownMs);
    EXPECT_EQ(Log(), std::vector<std::wstring>{VERSION_LINE});
    EXPECT_TRUE(ProgramEnabled());
    LONG_PTR exStyle = GetWindowLongPtrW(main, GWL_EXSTYLE);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
}

// An updater in the root of a drive finds its neighbours there: C:\ with one backslash.
TEST_F(AppTest, RunsFromTheRootOfADrive)
{
    AddDevice(2);
    const std::wstring root = L"C:\\";
    const wchar_t* files[] = {L"TavrolinUpdater.exe", L"DfuSeCommand.exe", L"Tavrolin.dfu"};
    for (const wchar_t* file : files)
        ASSERT_TRUE(CopyFileW((dir.path + file).c_str(), (root + file).c_str(), FALSE));
    DeleteFileW(L"C:\\DfuSeCommand.log");
    Launch(root);
    StartRun();
    EXPECT_TRUE(FinishRun(20000).empty());
    EXPECT_EQ(Log(), Join({VERSION_LINE}, SUCCESS));
    ProgramDir rootDir;
    rootDir.path = root;
    std::vector<ToolStart> tool = rootDir.ToolStarts();
    ASSERT_EQ(tool.size(), 1u);
    EXPECT_NE(tool[0].cmdline.find(L" -c -d --fn \"C:\\Tavrolin.dfu\""), std::wstring::npos);
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD code = 0;
    EXPECT_TRUE(Exited(5000, &code));
    for (const wchar_t* file : files)
        DeleteFileW((root + file).c_str());
    DeleteFileW(L"C:\\DfuSeCommand.log");
}

TEST_F(AppTest, FullUpdate)
{
    ASSERT_TRUE(Sim("add 1"));
    AddDevice(2);
    Launch();
    StartRun();
    EXPECT_TRUE(FinishRun(20000).empty());
    EXPECT_EQ(Log(), Join({VERSION_LINE}, SUCCESS));
    ASSERT_EQ(dir.ToolStarts().size(), 1u);
    EXPECT_NE(dir.ToolStarts()[0].cmdline.find(L"-c -d --fn \"" + dir.path + L"Tavrolin.dfu\""), std::wstring::npos);
}

TEST_F(AppTest, NoDevice)
{
    Launch();
    StartRun();
    std::vector<BoxInfo> boxes = FinishRun(30000);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, NOT_FOUND_BOX);
    EXPECT_EQ(boxes[0].buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_EQ(boxes[0].owner, main);
    EXPECT_EQ(Log(), Join({VERSION_LINE}, NOT_FOUND));
}

TEST_F(AppTest, ToolMissing)
{
    AddDevice(2);
    dir.InstallTool(false);
    Launch();
    StartRun();
    std::vector<BoxInfo> boxes = FinishRun(20000);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, LAUNCH_BOX);
    EXPECT_EQ(boxes[1].text, FAILED_BOX);
    std::vector<std::wstring> expected = {VERSION_LINE, SUCCESS[0], SUCCESS[1], SUCCESS[2]};
    EXPECT_EQ(Log(), Join(expected, NOT_FOUND));
}

TEST_F(AppTest, TwoQuickClicksStartOneRun)
{
    AddDevice(2);
    Launch();
    MouseClick(IDC_PROGRAM);
    MouseClick(IDC_PROGRAM);
    ASSERT_TRUE(WaitUntil([&] { return !ProgramEnabled(); }, 2000)) << "the click did not reach PROGRAM";
    EXPECT_TRUE(FinishRun(20000).empty());
    Sleep(300);
    EXPECT_EQ(Log(), Join({VERSION_LINE}, SUCCESS));
    EXPECT_EQ(dir.ToolStarts().size(), 1u);
    std::vector<SimFrame> frames;
    ASSERT_TRUE(SimFrames(sim, 2, &frames));
    EXPECT_EQ(frames.size(), 2u) << "one identify and one enter-bootloader frame";
}

TEST_F(AppTest, TwoRunsKeepEveryLineInOrder)
{
    AddDevice(2);
    Launch();
    StartRun();
    FinishRun(20000);
    StartRun();
    FinishRun(20000);
    EXPECT_EQ(Log(), Join(Join({VERSION_LINE}, SUCCESS), SUCCESS));
}

TEST_F(AppTest, ExitDuringARunEndsAtOnceWithCodeZero)
{
    AddDevice(2);
    dir.ConfigureTool("delay_ms=20000\n");
    Launch();
    StartRun();
    ASSERT_TRUE(WaitUntil([&] { return !dir.ToolStarts().empty(); }, 10000)) << "the run did not reach the tool";
    DWORD start = GetTickCount(), code = 77;
    Press(IDC_EXIT);
    ASSERT_TRUE(Exited(5000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_LT(GetTickCount() - start, 5000u);
}

TEST_F(AppTest, ClosingTheWindowEndsTheProgram)
{
    Launch();
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD code = 77;
    ASSERT_TRUE(Exited(5000, &code));
    EXPECT_EQ(code, 0u);
}

TEST_F(AppTest, EscapeDoesNothing)
{
    Launch();
    Key(Control(IDC_ABOUT), VK_ESCAPE);
    Key(Control(IDC_LOG), VK_ESCAPE);
    DWORD code = 0;
    EXPECT_FALSE(Exited(700, &code));
    EXPECT_TRUE(IsWindowVisible(main));
}

TEST_F(AppTest, AboutBoxOpensAtTheClientOriginAndClosesEveryWay)
{
    Launch();
    struct Way {
        const char* name;
        void (*close)(HWND);
    };
    const Way ways[] = {
        {"OK", [](HWND about) { PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0); }},
        {"Enter", [](HWND about) { Key(GetDlgItem(about, IDOK), VK_RETURN); }},
        {"Esc", [](HWND about) { Key(GetDlgItem(about, IDOK), VK_ESCAPE); }},
        {"close button", [](HWND about) { PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        Press(IDC_ABOUT);
        HWND about = AboutBox(5000);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(GetWindow(about, GW_OWNER), main);
        EXPECT_FALSE(IsWindowEnabled(main)) << "the About box is modal";
        // The template's 0, 0 is the owner's client origin; the dialog manager puts the box's
        // client area there.
        POINT aboutOrigin = {0, 0}, mainOrigin = {0, 0};
        ClientToScreen(about, &aboutOrigin);
        ClientToScreen(main, &mainOrigin);
        EXPECT_EQ(aboutOrigin.x, mainOrigin.x);
        EXPECT_EQ(aboutOrigin.y, mainOrigin.y);
        BoxInfo info;
        ReadMessageBox(about, &info);
        EXPECT_EQ(info.title, L"About");
        EXPECT_TRUE(info.HasButton(L"OK"));
        EXPECT_TRUE(HasChildText(about, L"Version 1.5"));
        way.close(about);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }, 5000));
        EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(main) != 0; }, 2000));
    }
}

TEST_F(AppTest, RunLinesArriveWhileTheAboutBoxIsOpen)
{
    AddDevice(2);
    dir.ConfigureTool("delay_ms=500\n");
    Launch();
    StartRun();
    Press(IDC_ABOUT);
    HWND about = AboutBox(5000);
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return Log().size() == 6; }, 20000)) << "lines must keep arriving";
    EXPECT_TRUE(IsWindow(about));
    PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
    FinishRun(10000);
    EXPECT_EQ(Log(), Join({VERSION_LINE}, SUCCESS));
}

} // namespace
