// The real program under Wine suspending and resuming the game, switching
// between fullscreen and windowed, changing the game resolution, refusing
// system commands and crashing. Each scenario compares what the stand-in saw
// after start-up with an exact table, and checks the exit code and that the
// desktop's display mode is back afterwards.
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

const std::string desktopProbe = "probe mode current=1280x1024x32 registry=1280x1024x32";
const std::string gameProbe = "probe mode current=1024x768x32 registry=1280x1024x32";

// Runs the script; the program must end normally and give the desktop back.
HostRun runToTheEnd(ProgramFolder& folder, const std::string& script) {
    const HostRun run = folder.run(script);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(desktopMode, currentDisplayMode());
    return run;
}

TEST(Suspension, FullscreenDeactivationResetsTheDisplayAndMinimises) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "send WM_ACTIVATEAPP 0 0\nprobe mode\nprobe window\n"
                                            "send WM_ACTIVATEAPP 0 0\n"
                                            "send WM_ACTIVATE 0x00010001 0\nprobe mode\nprobe window\n"
                                            "send WM_ACTIVATE WA_ACTIVE 0\nprobe mode\nprobe window\n"
                                            "fscommand quit\n");
    EXPECT_EQ((Lines{"send WM_ACTIVATEAPP 0 0", gameMinimized, desktopProbe, minimisedWindow(1024),
                     // Already suspended: nothing more.
                     "send WM_ACTIVATEAPP 0 0",
                     // An activation of a minimised window does not resume.
                     "send WM_ACTIVATE 0x00010001 0", desktopProbe, minimisedWindow(1024),
                     // Showing the window during the resume activates it
                     // again (under Wine with exactly WA_ACTIVE): still one
                     // resume, one call.
                     "send WM_ACTIVATE WA_ACTIVE 0", gameMaximized, gameProbe, fullscreenWindow} +
               quitting),
              afterStartup(run));
    EXPECT_EQ(Lines{}, run.boxes);
}

TEST(Suspension, WindowedDeactivationLeavesWindowAndDisplayAlone) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "fscommand fullscreen false\nprobe window\nprobe mode\n"
                                            "send WM_ACTIVATEAPP 0 0\nprobe window\nprobe mode\n"
                                            "send WM_ACTIVATEAPP 0 0\n"
                                            "send WM_ACTIVATE WA_CLICKACTIVE 0\nprobe window\nprobe mode\n"
                                            "send WM_ACTIVATE WA_ACTIVE 0\n"
                                            "fscommand quit\n");
    const std::string windowed = windowedWindow(1024, 768);
    EXPECT_EQ((Lines{"event FSCommand fullscreen false", windowed, desktopProbe, "send WM_ACTIVATEAPP 0 0",
                     gameMinimized, windowed, desktopProbe, "send WM_ACTIVATEAPP 0 0",
                     "send WM_ACTIVATE WA_CLICKACTIVE 0", gameMaximized, windowed, desktopProbe,
                     // Already resumed: nothing more.
                     "send WM_ACTIVATE WA_ACTIVE 0"} +
               quitting),
              afterStartup(run));
}

TEST(Suspension, MinimizeCommandInFullscreenSuspendsOnce) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "fscommand minimize\nprobe mode\nprobe window\n"
                                            "fscommand minimize\n"
                                            "send WM_ACTIVATE WA_CLICKACTIVE 0\nprobe mode\nprobe window\n"
                                            "fscommand quit\n");
    // The movie hears of the suspension while its own command is handled.
    EXPECT_EQ((Lines{"event FSCommand minimize", "  " + gameMinimized, desktopProbe, minimisedWindow(1024),
                     "event FSCommand minimize", "send WM_ACTIVATE WA_CLICKACTIVE 0", gameMaximized,
                     gameProbe, fullscreenWindow} +
               quitting),
              afterStartup(run));
}

// On Windows the minimise inside a suspend deactivates the program before it
// returns (the stand-in's "emulate minimize" does it here): that deactivation
// must not suspend the game a second time.
TEST(OneSuspendPerMinimise, TheMinimizeCommandRestoresAndTellsTheMovieOnce) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "emulate minimize\nfscommand minimize\nprobe mode\nprobe window\n"
                                            "send WM_ACTIVATE WA_CLICKACTIVE 0\nprobe mode\nprobe window\n"
                                            "fscommand quit\n");
    EXPECT_EQ((Lines{"emulate minimize", "event FSCommand minimize", "  deactivated by minimize",
                     "  " + gameMinimized, desktopProbe, minimisedWindow(1024),
                     "send WM_ACTIVATE WA_CLICKACTIVE 0", gameMaximized, gameProbe, fullscreenWindow} +
               quitting),
              afterStartup(run));
}

TEST(Suspension, MinimizeCommandInWindowedModeOnlySuspends) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "fscommand fullscreen false\n"
                                            "fscommand minimize\nprobe mode\nprobe window\n"
                                            "fscommand minimize\n"
                                            "send WM_ACTIVATE WA_ACTIVE 0\nprobe window\n"
                                            "fscommand quit\n");
    const std::string windowed = windowedWindow(1024, 768);
    EXPECT_EQ((Lines{"event FSCommand fullscreen false", "event FSCommand minimize", "  " + gameMinimized,
                     desktopProbe, windowed, "event FSCommand minimize", "send WM_ACTIVATE WA_ACTIVE 0",
                     gameMaximized, windowed} +
               quitting),
              afterStartup(run));
}

TEST(Suspension, LeavingFullscreenWhileSuspendedShowsTheWindowWithoutTellingTheMovie) {
    ProgramFolder folder;
    const HostRun run =
        runToTheEnd(folder, "send WM_ACTIVATEAPP 0 0\nfscommand fullscreen false\nprobe window\n"
                            "send WM_ACTIVATE WA_ACTIVE 0\n"
                            "send WM_ACTIVATEAPP 0 0\nprobe window\n"
                            "fscommand quit\n");
    const std::string windowed = windowedWindow(1024, 768);
    // The game is no longer suspended after the switch: the activation does
    // nothing, the next deactivation suspends again. Showing the window
    // during the switch activates it (under Wine with exactly WA_ACTIVE);
    // that must not resume the fullscreen game.
    EXPECT_EQ((Lines{"send WM_ACTIVATEAPP 0 0", gameMinimized, "event FSCommand fullscreen false", windowed,
                     "send WM_ACTIVATE WA_ACTIVE 0", "send WM_ACTIVATEAPP 0 0", gameMinimized, windowed} +
               quitting),
              afterStartup(run));
}

TEST(SystemCommands, ScreenSaverAndMonitorPowerAreRefusedOthersGoOn) {
    ProgramFolder folder;
    // Under Wine the default processing of SC_SCREENSAVE and SC_MONITORPOWER
    // does nothing visible, so their refusal shows only as the game going on
    // untouched. Wine's hidden command SC_SCREENSAVE + 1 opens its About box,
    // which proves that a wParam with other low bits reaches the default
    // processing; so does 0xF061, which the default processing reads as
    // SC_CLOSE (it ignores the low four bits).
    const HostRun run = runToTheEnd(folder, "send WM_SYSCOMMAND SC_SCREENSAVE 0\n"
                                            "send WM_SYSCOMMAND SC_MONITORPOWER 2\n"
                                            "send WM_SYSCOMMAND SC_MONITORPOWER 1\n"
                                            "probe mode\nprobe window\n"
                                            "send WM_SYSCOMMAND 0xF141 0\nprobe window\n"
                                            "send WM_SYSCOMMAND 0xF061 0\n");
    EXPECT_EQ((Lines{"send WM_SYSCOMMAND SC_SCREENSAVE 0", "send WM_SYSCOMMAND SC_MONITORPOWER 2",
                     "send WM_SYSCOMMAND SC_MONITORPOWER 1", gameProbe, fullscreenWindow,
                     "send WM_SYSCOMMAND 0xF141 0", fullscreenWindow, "send WM_SYSCOMMAND 0xF061 0",
                     // WM_CLOSE, whose default processing destroys the window.
                     windowClose, "close", "release"}),
              afterStartup(run));
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_EQ(0u, run.boxes[0].find("About Wine")) << run.boxes[0];
}

TEST(DisplaySwitching, OnlyExactlyTrueMeansFullscreen) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "fscommand fullscreen True\nprobe window\nprobe mode\n"
                                            "fscommand fullscreen false\nprobe window\n"
                                            "fscommand fullscreen true\nprobe window\nprobe mode\n"
                                            "fscommand fullscreen 1\nprobe window\nprobe mode\n"
                                            "fscommand fullscreen true \nprobe window\n"
                                            "fscommand fullscreen true\nfscommand fullscreen true\n"
                                            "probe window\nprobe mode\n"
                                            "fscommand quit\n");
    const std::string windowed = windowedWindow(1024, 768);
    EXPECT_EQ((Lines{"event FSCommand fullscreen True", windowed, desktopProbe,
                     // Already windowed: nothing changes.
                     "event FSCommand fullscreen false", windowed, "event FSCommand fullscreen true",
                     fullscreenWindow, gameProbe, "event FSCommand fullscreen 1", windowed, desktopProbe,
                     "event FSCommand fullscreen true ", windowed, "event FSCommand fullscreen true",
                     // Again while fullscreen: the mode is simply set again.
                     "event FSCommand fullscreen true", fullscreenWindow, gameProbe} +
               quitting),
              afterStartup(run));
    EXPECT_EQ(Lines{}, run.boxes);
}

TEST(GameResolution, WhileFullscreenItWaitsForTheNextSwitch) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(
        folder, setResolution(800, 600) + "\nprobe mode\nprobe window\n"
                                          "fscommand fullscreen true\nprobe mode\nprobe window\n"
                                          "fscommand fullscreen false\nprobe window\nprobe mode\n"
                                          "send WM_ACTIVATEAPP 0 0\nsend WM_ACTIVATE WA_ACTIVE 0\n"
                                          "fscommand fullscreen true\nsend WM_ACTIVATEAPP 0 0\nprobe mode\n"
                                          "send WM_ACTIVATE WA_ACTIVE 0\nprobe mode\nprobe window\n"
                                          "fscommand quit\n");
    const std::string small =
        "probe window caption=\"\" style=0x94000000 exstyle=0x00000008 rect=0,0,800,600 "
        "topmost=1 visible=1 iconic=0";
    EXPECT_EQ(
        (Lines{setResolutionEvent(800, 600), "no reply", gameProbe, fullscreenWindow,
               "event FSCommand fullscreen true", "probe mode current=800x600x32 registry=1280x1024x32",
               small, "event FSCommand fullscreen false", windowedWindow(800, 600), desktopProbe,
               "send WM_ACTIVATEAPP 0 0", gameMinimized, "send WM_ACTIVATE WA_ACTIVE 0", gameMaximized,
               "event FSCommand fullscreen true", "send WM_ACTIVATEAPP 0 0", gameMinimized, desktopProbe,
               // The resume goes back to the game's own size.
               "send WM_ACTIVATE WA_ACTIVE 0", gameMaximized,
               "probe mode current=800x600x32 registry=1280x1024x32", small} +
         quitting),
        afterStartup(run));
}

TEST(GameResolution, WhileWindowedTheOuterRectangleTakesTheSize) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "fscommand fullscreen false\n" + setResolution(800, 600) +
                                                "\nprobe window\nprobe mode\n"
                                                "fscommand fullscreen false\nprobe window\n" +
                                                setResolution(640, 480) +
                                                "\nprobe window\n"
                                                "fscommand fullscreen true\nprobe mode\nprobe window\n"
                                                "fscommand quit\n");
    // No allowance for frame and caption: the outer size is the given one.
    const std::string exact800 =
        "probe window caption=\"\" style=0x14CA0000 exstyle=0x00000100 rect=0,0,800,600 "
        "topmost=0 visible=1 iconic=0";
    const std::string exact640 =
        "probe window caption=\"\" style=0x14CA0000 exstyle=0x00000100 rect=0,0,640,480 "
        "topmost=0 visible=1 iconic=0";
    EXPECT_EQ(
        (Lines{"event FSCommand fullscreen false", setResolutionEvent(800, 600), "no reply", exact800,
               desktopProbe,
               // Already windowed: the window keeps its exact size.
               "event FSCommand fullscreen false", exact800, setResolutionEvent(640, 480), "no reply",
               exact640, "event FSCommand fullscreen true",
               "probe mode current=640x480x32 registry=1280x1024x32",
               "probe window caption=\"\" style=0x94000000 exstyle=0x00000008 rect=0,0,640,480 topmost=1 "
               "visible=1 iconic=0"} +
         quitting),
        afterStartup(run));
}

// Regression: the switch to fullscreen replaced the whole style, but a window
// already at the game's place and size got no new frame: the player kept a
// client area short of the caption's and the frame's room.
TEST(FrameAfterAStyleChange, FullscreenAtTheFramedWindowsSizeGivesThePlayerTheWholeWindow) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "fscommand fullscreen false\n" + setResolution(1024, 768) +
                                                "\nfscommand fullscreen true\nprobe window\nprobe client\n"
                                                "fscommand quit\n");
    EXPECT_EQ((Lines{"event FSCommand fullscreen false", setResolutionEvent(1024, 768), "no reply",
                     "event FSCommand fullscreen true", fullscreenWindow, "probe client rect=0,0,1024,768"} +
               quitting),
              afterStartup(run));
}

// The framed window's outer size is the system's frame for its style around
// the game size: programs made for Vista and later get a wider, padded
// border there, which frame metrics added by hand miss. The player gets
// exactly the game size.
TEST(FramedWindow, ItsClientAreaIsTheGameSize) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "fscommand fullscreen false\nprobe window\nprobe client\n" +
                                                setResolution(800, 600) +
                                                "\nfscommand fullscreen true\nfscommand fullscreen false\n"
                                                "probe client\nfscommand quit\n");
    EXPECT_EQ((Lines{"event FSCommand fullscreen false", windowedWindow(1024, 768), windowedClient(1024, 768),
                     setResolutionEvent(800, 600), "no reply", "event FSCommand fullscreen true",
                     "event FSCommand fullscreen false", windowedClient(800, 600)} +
               quitting),
              afterStartup(run));
}

constexpr wchar_t desktopKey[] = L"Control Panel\\Desktop";

// The bench's screen at `dpi` for the programs started while this lives:
// Wine reads the user's LogPixels when a process starts. The old value comes
// back afterwards, for the other tests and the bench's own checks.
class ScreenScale {
  public:
    explicit ScreenScale(DWORD dpi) {
        DWORD size = sizeof old_;
        had_ = RegGetValueW(HKEY_CURRENT_USER, desktopKey, L"LogPixels", RRF_RT_REG_DWORD, nullptr, &old_,
                            &size) == ERROR_SUCCESS;
        set_ = RegSetKeyValueW(HKEY_CURRENT_USER, desktopKey, L"LogPixels", REG_DWORD, &dpi, sizeof dpi) ==
               ERROR_SUCCESS;
    }
    ScreenScale(const ScreenScale&) = delete;
    ScreenScale& operator=(const ScreenScale&) = delete;
    ~ScreenScale() {
        if (had_) {
            RegSetKeyValueW(HKEY_CURRENT_USER, desktopKey, L"LogPixels", REG_DWORD, &old_, sizeof old_);
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, desktopKey, L"LogPixels");
        }
    }
    bool set() const { return set_; }

  private:
    DWORD old_ = 0;
    bool had_ = false;
    bool set_ = false;
};

SIZE loggedSize(const std::string& line) {
    RECT area = {};
    std::sscanf(line.c_str() + line.find("rect=") + 5, "%ld,%ld,%ld,%ld", &area.left, &area.top, &area.right,
                &area.bottom);
    return {area.right - area.left, area.bottom - area.top};
}

class ScreenScales : public ::testing::TestWithParam<int> {};

// On a laptop at 150 % or a 4K screen at 200 % the windowed game is the size
// a player expects: its client area is the game size at the screen's scale.
// One too large for the work area (1024 x 768 at 150 % and 200 %) fills its
// width or height with the game's aspect kept. setResolution in a window sets
// the outer size at the scale (1600 x 1200: fitted at every scale). Wine
// never sends WM_DPICHANGED: a change of scale while the game runs is not
// tested.
TEST_P(ScreenScales, TheWindowedGameFollowsTheScreensScale) {
    const int dpi = GetParam();
    const ScreenScale scale(static_cast<DWORD>(dpi));
    ASSERT_TRUE(scale.set());
    ProgramFolder folder;
    const std::string probes = "\nprobe window\nprobe client\n";
    const HostRun run =
        runToTheEnd(folder, "fscommand fullscreen false" + probes + "fscommand fullscreen true\n" +
                                setResolution(512, 384) + "\nfscommand fullscreen false" + probes +
                                setResolution(1600, 1200) + "\nprobe window\nfscommand quit\n");
    std::vector<SIZE> sizes;
    for (const std::string& line : run.log) {
        if (line.rfind("probe ", 0) == 0) {
            sizes.push_back(loggedSize(line));
        }
    }
    ASSERT_EQ(5u, sizes.size());
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    // A window and what it shows of a game, with what the frame adds.
    const auto expectFitted = [&](SIZE window, SIZE shown, int width, int height) {
        const SIZE frame = {window.cx - shown.cx, window.cy - shown.cy};
        const SIZE wanted = {MulDiv(width, dpi, USER_DEFAULT_SCREEN_DPI),
                             MulDiv(height, dpi, USER_DEFAULT_SCREEN_DPI)};
        EXPECT_LE(window.cx, work.right - work.left);
        EXPECT_LE(window.cy, work.bottom - work.top);
        if (wanted.cx + frame.cx <= work.right - work.left &&
            wanted.cy + frame.cy <= work.bottom - work.top) {
            EXPECT_EQ(wanted.cx, shown.cx) << width;
            EXPECT_EQ(wanted.cy, shown.cy) << width;
            return;
        }
        EXPECT_TRUE(window.cx == work.right - work.left || window.cy == work.bottom - work.top) << width;
        EXPECT_LE(std::abs(shown.cx * height - shown.cy * width), (std::max)(width, height)) << width;
    };
    expectFitted(sizes[0], sizes[1], 1024, 768);
    expectFitted(sizes[2], sizes[3], 512, 384);
    expectFitted(sizes[4], sizes[4], 1600, 1200);
}

INSTANTIATE_TEST_SUITE_P(Dpi, ScreenScales, ::testing::Values(96, 144, 192),
                         [](const auto& info) { return std::to_string(info.param); });

// Regression: a fullscreen request while the game was suspended (from the
// movie's gameMinimized handler, or any later step) changed the display
// mode behind the player's back, under a minimised or inactive window. It is
// noted, and the resume enters fullscreen.
TEST(FullscreenWhileSuspended, WaitsForTheResume) {
    ProgramFolder folder;
    const HostRun run =
        runToTheEnd(folder, "oncall <invoke name=\"gameMinimized\" ></invoke> => fscommand fullscreen true\n"
                            "send WM_ACTIVATEAPP 0 0\nprobe mode\nprobe window\n"
                            "fscommand fullscreen true\nprobe mode\nprobe window\n"
                            "send WM_ACTIVATE WA_ACTIVE 0\nprobe mode\nprobe window\n"
                            "fscommand fullscreen false\nsend WM_ACTIVATEAPP 0 0\nfscommand fullscreen true\n"
                            "probe mode\nprobe window\n"
                            "send WM_ACTIVATE WA_ACTIVE 0\nprobe mode\nprobe window\n"
                            "fscommand fullscreen false\nsend WM_ACTIVATEAPP 0 0\nfscommand fullscreen true\n"
                            "fscommand fullscreen false\nprobe window\nsend WM_ACTIVATE WA_ACTIVE 0\n" +
                                minimisedFromItsFrame + "fscommand quit\n");
    const std::string windowed = windowedWindow(1024, 768);
    EXPECT_EQ(
        (Lines{"send WM_ACTIVATEAPP 0 0", gameMinimized, "event FSCommand fullscreen true", desktopProbe,
               minimisedWindow(1024), "event FSCommand fullscreen true", desktopProbe, minimisedWindow(1024),
               "send WM_ACTIVATE WA_ACTIVE 0", gameMaximized, gameProbe, fullscreenWindow,
               // Windowed and inactive: the window stays as it is.
               "event FSCommand fullscreen false", "send WM_ACTIVATEAPP 0 0", gameMinimized,
               "event FSCommand fullscreen true", desktopProbe, windowed, "send WM_ACTIVATE WA_ACTIVE 0",
               gameMaximized, gameProbe, fullscreenWindow, "event FSCommand fullscreen false",
               "send WM_ACTIVATEAPP 0 0", gameMinimized, "event FSCommand fullscreen true",
               // The wish taken back: still framed, still suspended.
               "event FSCommand fullscreen false", windowed, "send WM_ACTIVATE WA_ACTIVE 0", gameMaximized} +
         minimisedFromItsFrameLog(fullscreenWindow, "probe client rect=0,0,1024,768") + quitting),
        afterStartup(run));
}

// 1500 by 1000 is larger than the desktop, so no mode offers it.
const std::string refusedBox = "|failed to set resolution to 1500 x 1000.\nError:-2";

// Closing the box of a refused mode used to leave no visible window of the
// program to take the activation back: the game was suspended and its window
// hidden and minimised, out of the player's reach.
TEST(NoLostWindowAfterARefusedMode, TheGameStaysShownAndRunning) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, setResolution(1500, 1000) +
                                                "\nfscommand fullscreen true\nprobe window\nprobe mode\n"
                                                "fscommand fullscreen false\nprobe window\nfscommand quit\n");
    EXPECT_EQ(Lines{refusedBox}, run.boxes);
    EXPECT_EQ(
        (Lines{setResolutionEvent(1500, 1000), "no reply", "event FSCommand fullscreen true",
               "probe window caption=\"\" style=0x94000000 exstyle=0x00000008 rect=0,0,1024,768 topmost=1 "
               "visible=1 iconic=0",
               gameProbe, "event FSCommand fullscreen false", windowedWindow(1500, 1000)} +
         quitting),
        afterStartup(run));
}

// Regression: a resume into a refused mode, and the switch out of it, show
// the window, which activates it from inside the resume or the switch (under
// Wine with exactly WA_ACTIVE); so does closing the box. Taken as a new
// resume, that tried the refused mode again and showed its box, whose closing
// activated the window again, and so on without end.
TEST(RefusedModeBoxLoop, ReactivationShowsTheErrorOnce) {
    ProgramFolder folder;
    const HostRun run =
        folder.finish(folder.start(setResolution(1500, 1000) +
                                   "\nfscommand fullscreen true\n"
                                   "send WM_ACTIVATEAPP 0 0\nsend WM_ACTIVATE WA_ACTIVE 0\nprobe mode\n"
                                   "fscommand quit\n"),
                      10000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ((Lines{refusedBox, refusedBox}), run.boxes);
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

TEST(RefusedModeBoxLoop, WindowedShowsNoFurtherError) {
    ProgramFolder folder;
    const HostRun run =
        folder.finish(folder.start(setResolution(1500, 1000) +
                                   "\nfscommand fullscreen true\n"
                                   "fscommand fullscreen false\nprobe window\nfscommand quit\n"),
                      10000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Lines{refusedBox}, run.boxes);
    EXPECT_EQ((Lines{setResolutionEvent(1500, 1000), "no reply", "event FSCommand fullscreen true",
                     "event FSCommand fullscreen false", windowedWindow(1500, 1000)} +
               quitting),
              afterStartup(run));
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

// The fullscreen game window is topmost; a box of the usual band would open
// behind it and the game would seem frozen.
TEST(BoxesAboveTheFullscreenGame, TheMessageBoxCommandsBoxIsOnTop) {
    ProgramFolder folder;
    const std::string box = flashCallRequest("MessageBox", "<string>hello</string>");
    const HostRun run =
        runToTheEnd(folder, "probe window\nmessagebox => probe box\nflashcall " + box + "\nfscommand quit\n");
    EXPECT_EQ((Lines{fullscreenWindow, "event FlashCall " + box, "  probe box topmost=1 centre=box",
                     "  messagebox caption=\"\" text=\"<string>hello</string>\"", "no reply"} +
               quitting),
              afterStartup(run));
}

TEST(BoxesAboveTheFullscreenGame, TheRefusedModesBoxIsOnTop) {
    ProgramFolder folder;
    const HostRun run = runToTheEnd(folder, "probe window\n" + setResolution(1500, 1000) +
                                                "\nmessagebox => probe box\nfscommand fullscreen true\n"
                                                "fscommand quit\n");
    const Lines log = afterStartup(run);
    EXPECT_EQ(
        (Lines{fullscreenWindow, setResolutionEvent(1500, 1000), "no reply",
               "event FSCommand fullscreen true", "  probe box topmost=1 centre=box",
               "  messagebox caption=\"\" text=\"failed to set resolution to 1500 x 1000.\\nError:-2\""}),
        Lines(log.begin(), log.begin() + std::min<size_t>(6, log.size())));
}

// Both boxes and the game are topmost. A player's click on the game (real
// input, so that the system does a click's activation and z-order work)
// must neither activate the game nor raise it over the box: the movie waits
// inside its call until the box closes, and the game would seem frozen. Once
// the box closes, the game has the activation back, without a suspension.
const std::string clickOnTheGameDuringTheBox = "messagebox => click game => probe box => probe foreground\n";
const Lines boxStaysOnTop = {"  click game", "  probe box topmost=1 centre=box", "  probe foreground box"};

TEST(BoxesAboveTheFullscreenGame, AClickOnTheGameLeavesTheMessageBoxOnTop) {
    ProgramFolder folder;
    const std::string box = flashCallRequest("MessageBox", "<string>hello</string>");
    const HostRun run = runToTheEnd(folder, clickOnTheGameDuringTheBox + "flashcall " + box +
                                                "\nprobe foreground\nfscommand quit\n");
    EXPECT_EQ((Lines{"event FlashCall " + box} + boxStaysOnTop +
               Lines{"  messagebox caption=\"\" text=\"<string>hello</string>\"", "no reply",
                     "probe foreground game"} +
               quitting),
              afterStartup(run));
}

TEST(BoxesAboveTheFullscreenGame, AClickOnTheGameLeavesTheRefusedModesBoxOnTop) {
    ProgramFolder folder;
    const HostRun run =
        runToTheEnd(folder, setResolution(1500, 1000) + "\n" + clickOnTheGameDuringTheBox +
                                "fscommand fullscreen true\nprobe foreground\nfscommand quit\n");
    EXPECT_EQ((Lines{setResolutionEvent(1500, 1000), "no reply", "event FSCommand fullscreen true"} +
               boxStaysOnTop +
               Lines{"  messagebox caption=\"\" text=\"failed to set resolution to 1500 x 1000.\\nError:-2\"",
                     "probe foreground game"} +
               quitting),
              afterStartup(run));
}

// An access violation in the movie on the game's thread while the host calls
// it from its main loop. (Inside a dispatched message, such as the
// stand-in's own timer ticks, Wine's dispatch catches the exception and the
// program goes on.) It leaves one dump, in a private %LOCALAPPDATA%.
class Crash : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(Crash, EndsTheProcessLeavingADumpAndTheDesktopModeComesBack) {
    ProgramFolder folder;
    const AppData appData;
    const HostRun run = folder.run(
        GetParam().script + "oncall <invoke name=\"rightClick\" returntype=\"xml\"></invoke> => crash here\n"
                            "post WM_RBUTTONDOWN 0 0\nwait 1000\nprobe window\n",
        appData.environment());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
    EXPECT_EQ((GetParam().logged +
               Lines{"post WM_RBUTTONDOWN 0 0",
                     "call CallFunction <invoke name=\"rightClick\" returntype=\"xml\"></invoke>"}),
              afterStartup(run));
    EXPECT_TRUE(leftOneCrashDump(appData, run, run.threadId));
    // Nothing of the program restored it: the system does, for a dynamic
    // change, when the process that made it ends.
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

INSTANTIATE_TEST_SUITE_P(Cases, Crash,
                         ::testing::Values(ScriptCase{"Fullscreen", "probe mode\n", {gameProbe}},
                                           ScriptCase{
                                               "Suspended",
                                               "send WM_ACTIVATEAPP 0 0\nprobe mode\n",
                                               {"send WM_ACTIVATEAPP 0 0", gameMinimized, desktopProbe}},
                                           ScriptCase{"Windowed",
                                                      "fscommand fullscreen false\nprobe mode\n",
                                                      {"event FSCommand fullscreen false", desktopProbe}}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
