// Fullscreen at the desktop's own mode, the studio setting's other value:
// the borderless topmost window covers the game's monitor, and no display
// mode changes, through windowed and back, suspend and resume, the end of the
// game or a crash. The DesktopFullscreen scenarios also run on benches whose
// desktops are 1024 x 768 and 1600 x 900; their expectations follow the
// bench's desktop. Wine's virtual desktop offers one monitor, so the choice
// among several is tested on the choosing function alone.
#include "display/fullscreen.h"
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Desktop {
    int width;
    int height;
};

Desktop desktop() {
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    EnumDisplaySettingsW(nullptr, ENUM_REGISTRY_SETTINGS, &mode);
    return {static_cast<int>(mode.dmPelsWidth), static_cast<int>(mode.dmPelsHeight)};
}

std::string desktopSize() {
    return std::to_string(desktop().width) + "x" + std::to_string(desktop().height) + "x32";
}

// The desktop the bench was asked for (BENCH_DESKTOP, as wine-bench.sh
// takes it), so that a scenario meant for one size cannot pass on another.
std::string benchDesktop() {
    wchar_t size[32] = {};
    if (!GetEnvironmentVariableW(L"BENCH_DESKTOP", size, static_cast<DWORD>(std::size(size)))) {
        return "1280x1024x32";
    }
    return utf8(size) + "x32";
}

std::string desktopProbe() {
    return "probe mode current=" + desktopSize() + " registry=" + desktopSize();
}

std::string monitorWindow() {
    return "probe window caption=\"\" style=0x94000000 exstyle=0x00000008 rect=" +
           rect(0, 0, desktop().width, desktop().height) + " topmost=1 visible=1 iconic=0";
}

std::string monitorClient() {
    return "probe client rect=" + rect(0, 0, desktop().width, desktop().height);
}

const std::string minimize = "event FSCommand minimize";

// Runs `script` on PROGRAM; it must end as `exitCode` says, with the display
// mode changed `modeChanges` times from start to end, as the system announced.
HostRun runCountingModeChanges(const std::wstring& program, const std::string& script, int modeChanges,
                               DWORD exitCode = 1, const Environment& environment = {}) {
    EXPECT_EQ(benchDesktop(), desktopSize());
    const DisplayChanges changes;
    ProgramFolder folder(program);
    const HostRun run = folder.run(script, environment);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(exitCode, run.exitCode);
    // A change is announced before it returns, so every one has been seen
    // by the time the program has ended.
    EXPECT_EQ(modeChanges, changes.count());
    EXPECT_EQ(desktopSize(), currentDisplayMode());
    return run;
}

TEST(DesktopFullscreen, CoversTheMonitorAndSwitchesWithoutAModeChange) {
    const std::string screen = flashCallRequest("getScreenResolution");
    const HostRun run = runCountingModeChanges(
        DESKTOP_PROGRAM,
        "watch display\nprobe window\nprobe client\nprobe mode\nflashcall " + screen +
            "\nfscommand fullscreen false\nprobe window\nprobe mode\n" + setResolution(800, 600) +
            "\nprobe window\nfscommand fullscreen true\nprobe window\nprobe client\nprobe mode\n"
            "fscommand fullscreen true\nprobe window\nfscommand quit\n",
        0);
    EXPECT_EQ(
        (Lines{"watch display", monitorWindow(), monitorClient(), desktopProbe(), "event FlashCall " + screen,
               "  reply <object><property id=\"width\"><number>" + std::to_string(desktop().width) +
                   "</number></property><property id=\"height\"><number>" + std::to_string(desktop().height) +
                   "</number></property></object>",
               "event FSCommand fullscreen false", windowedWindow(1024, 768), desktopProbe(),
               setResolutionEvent(800, 600), "no reply",
               // The framed window takes the size; fullscreen is the monitor.
               "probe window caption=\"\" style=0x14CA0000 exstyle=0x00000100 rect=0,0,800,600 topmost=0 "
               "visible=1 iconic=0",
               "event FSCommand fullscreen true", monitorWindow(), monitorClient(), desktopProbe(),
               "event FSCommand fullscreen true", monitorWindow()} +
         quitting),
        afterStartup(run));
}

TEST(DesktopFullscreen, SuspendMinimisesAndResumeCoversTheMonitorAgain) {
    const HostRun run =
        runCountingModeChanges(DESKTOP_PROGRAM,
                               "watch display\nsend WM_ACTIVATEAPP 0 0\nprobe mode\nprobe window\n"
                               "send WM_ACTIVATE WA_ACTIVE 0\nprobe mode\nprobe window\n"
                               "probe client\nfscommand minimize\nprobe mode\n"
                               "send WM_ACTIVATE WA_CLICKACTIVE 0\n"
                               "probe window\n" +
                                   minimisedFromItsFrame + "fscommand quit\n",
                               0);
    EXPECT_EQ((Lines{"watch display", "send WM_ACTIVATEAPP 0 0", gameMinimized, desktopProbe(),
                     minimisedWindow(desktop().height), "send WM_ACTIVATE WA_ACTIVE 0", gameMaximized,
                     desktopProbe(), monitorWindow(), monitorClient(), minimize, "  " + gameMinimized,
                     desktopProbe(), "send WM_ACTIVATE WA_CLICKACTIVE 0", gameMaximized, monitorWindow()} +
               minimisedFromItsFrameLog(monitorWindow(), monitorClient()) + quitting),
              afterStartup(run));
}

// Nothing was changed, so nothing is given back: not even a reset to the
// desktop's stored mode, which could undo another program's change. The
// crash leaves its dump all the same.
TEST(DesktopFullscreen, ACrashLeavesTheDisplayAloneAndADump) {
    const AppData appData;
    const HostRun run =
        runCountingModeChanges(DESKTOP_PROGRAM,
                               "oncall <invoke name=\"rightClick\" returntype=\"xml\"></invoke> => "
                               "crash here\npost WM_RBUTTONDOWN 0 0\nwait 1000\nprobe window\n",
                               0, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), appData.environment());
    EXPECT_EQ((Lines{"post WM_RBUTTONDOWN 0 0", rightClick}), afterStartup(run));
    EXPECT_TRUE(leftOneCrashDump(appData, run, run.threadId));
}

// The same movie on the program built with each value: one changes the mode
// at every switch and gives it back at the end, the other never touches it.
TEST(FullscreenSetting, TheModeChangesOnlyWithTheModeValue) {
    const std::string script =
        "watch display\nfscommand minimize\nsend WM_ACTIVATE WA_ACTIVE 0\nfscommand quit\n";
    const HostRun changing = runCountingModeChanges(GAMEHOST_EXE, script, 4);
    EXPECT_EQ((Lines{"watch display", minimize, "  display changed 1280x1024x32", "  " + gameMinimized,
                     "send WM_ACTIVATE WA_ACTIVE 0", "display changed 1024x768x32", gameMaximized} +
               quitting),
              afterStartup(changing));
    const HostRun still = runCountingModeChanges(DESKTOP_PROGRAM, script, 0);
    EXPECT_EQ((Lines{"watch display", minimize, "  " + gameMinimized, "send WM_ACTIVATE WA_ACTIVE 0",
                     gameMaximized} +
               quitting),
              afterStartup(still));
}

// The player changes the resolution in the system's settings (or docks a
// laptop, connects over Remote Desktop...) while the game is fullscreen: the
// game covers the new desktop exactly, and changes no mode itself.
TEST(DesktopChange, TheFullscreenGameCoversTheNewDesktop) {
    const DisplayChanges changes;
    ProgramFolder folder(DESKTOP_PROGRAM);
    const PROCESS_INFORMATION process = folder.start(
        "watch display\nprobe window\nwait display\nprobe window\nprobe client\nfscommand quit\n");
    // Without the change the script waits until finish gives up on it.
    EXPECT_TRUE(pumpUntil(
        [&] {
            const Lines log = readLines(folder.log());
            return std::find(log.begin(), log.end(), monitorWindow()) != log.end();
        },
        20000));
    HostRun run;
    {
        const OtherProgramsMode smaller(800, 600);
        EXPECT_TRUE(smaller.changed());
        run = folder.finish(process);
        EXPECT_EQ(1, changes.count()) << "the program changed the display mode";
    }
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(
        (Lines{"watch display", monitorWindow(), "display changed 800x600x32",
               "probe window caption=\"\" style=0x94000000 exstyle=0x00000008 rect=0,0,800,600 topmost=1 "
               "visible=1 iconic=0",
               "probe client rect=0,0,800,600"} +
         quitting),
        afterStartup(run));
}

std::string text(const RECT& area) {
    return rect(area.left, area.top, area.right, area.bottom);
}

// A wide primary monitor, a smaller one to its right, top-aligned, and one
// to the left of the primary, at negative coordinates.
const std::vector<RECT> threeMonitors = {{0, 0, 1920, 1080}, {1920, 0, 3200, 1024}, {-1280, 0, 0, 1024}};

TEST(MonitorChoice, TheMonitorHoldingTheWindowsCentre) {
    // Wholly on the primary; across the right edge with the centre still on
    // the primary, then past it; on the left monitor.
    EXPECT_EQ("0,0,1920,1080", text(monitorHolding({100, 100, 900, 700}, threeMonitors)));
    EXPECT_EQ("0,0,1920,1080", text(monitorHolding({1500, 0, 2300, 600}, threeMonitors)));
    EXPECT_EQ("1920,0,3200,1024", text(monitorHolding({1600, 0, 2400, 600}, threeMonitors)));
    EXPECT_EQ("-1280,0,0,1024", text(monitorHolding({-900, 200, -100, 800}, threeMonitors)));
    // The centre on the boundary belongs to the monitor whose left edge it is.
    EXPECT_EQ("1920,0,3200,1024", text(monitorHolding({1520, 0, 2320, 600}, threeMonitors)));
}

TEST(MonitorChoice, OffEveryMonitorTheNearest) {
    // Below the right monitor's bottom, beside the taller primary.
    EXPECT_EQ("1920,0,3200,1024", text(monitorHolding({2200, 700, 2800, 1400}, threeMonitors)));
    // Far above the left monitor.
    EXPECT_EQ("-1280,0,0,1024", text(monitorHolding({-1000, -3000, -200, -2400}, threeMonitors)));
    EXPECT_EQ("0,0,0,0", text(monitorHolding({0, 0, 800, 600}, {})));
}

} // namespace
