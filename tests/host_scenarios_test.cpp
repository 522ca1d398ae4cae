// The real program under Wine, from a temporary program folder, with the
// stand-in control playing a script as its movie. Each scenario checks the
// calls the stand-in saw, the probed window and display state, and the exit
// code.
#include "display/display_modes.h"
#include "display/fullscreen.h"
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

TEST(NormalRun, StartsFullscreenAndQuitGivesTheDesktopBack) {
    ProgramFolder folder;
    const HostRun run = folder.run("probe window\nprobe mode\nfscommand quit\n");
    ASSERT_FALSE(run.timedOut);
    Lines expected = startupCalls(folder);
    expected.insert(expected.end(),
                    {fullscreenWindow, "probe mode current=1024x768x32 registry=1280x1024x32"});
    EXPECT_EQ(expected + quitting, run.log);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Lines{}, run.boxes);
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

TEST(NormalRun, PostedQuitMessageDoesNotEndTheGame) {
    ProgramFolder folder;
    const HostRun run = folder.run("post WM_QUIT 0 0\nwait 100\nprobe mode\npost WM_CLOSE 0 0\n");
    EXPECT_EQ((Lines{"post WM_QUIT 0 0", "probe mode current=1024x768x32 registry=1280x1024x32",
                     "post WM_CLOSE 0 0", queuedWindowClose, "close", "release"}),
              afterStartup(run));
    EXPECT_EQ(1u, run.exitCode);
}

// Every way out of a running game. A player tears its movie down when its
// container closes it, and the hosting closes the control when the window
// gets WM_DESTROY, before the window procedure sees it: the movie hears
// windowClose once, before that. On Windows the last CoUninitialize frees
// the player's library, in use or not, so the control is closed and let go
// before COM ends. The stand-in logs a call made after its close, and a
// control still alive at the host's CoUninitialize, which Wine would hide.
class GameEnd : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(GameEnd, MovieHearsWindowCloseWhileTheControlIsOpenAndComEndsAfterIt) {
    ProgramFolder folder;
    const HostRun run = folder.run(GetParam().script + "wait 500\nprobe window\n");
    EXPECT_EQ(GetParam().logged + Lines({"close", "release"}), afterStartup(run));
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

INSTANTIATE_TEST_SUITE_P(
    Ways, GameEnd,
    ::testing::Values(
        ScriptCase{"QuitCommand", "fscommand quit\n", {"event FSCommand quit", "  " + windowClose}},
        // WM_CLOSE, whose default processing destroys the window.
        ScriptCase{"CloseCommand",
                   "post WM_SYSCOMMAND SC_CLOSE 0\n",
                   {"post WM_SYSCOMMAND SC_CLOSE 0", windowClose}},
        // Task Manager's End task posts WM_CLOSE.
        ScriptCase{"QueuedClose", "post WM_CLOSE 0 0\n", {"post WM_CLOSE 0 0", queuedWindowClose}},
        ScriptCase{"QueuedDestroy", "post WM_DESTROY 0 0\n", {"post WM_DESTROY 0 0", queuedWindowClose}},
        // Sent by another program, it reaches the window only after the
        // hosting closed the control: too late to tell the movie.
        ScriptCase{"SentDestroy", "send WM_DESTROY 0 0\n", {"send WM_DESTROY 0 0"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The movie hears windowClose once, whichever way the end comes, also when
// its own windowClose handler quits or closes the window: a movie that saves
// and then quits there would otherwise make the host call it again, and again.
class WindowCloseOnce : public ::testing::TestWithParam<ScriptCase> {};

// The case's script logs what it expects, then the player is closed and let
// go, and the program ends normally.
void expectAnEndAfterTheLoggedCalls(const ScriptCase& script) {
    ProgramFolder folder;
    const HostRun run = folder.run(script.script);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(script.logged + Lines({"close", "release"}), afterStartup(run));
    EXPECT_EQ(1u, run.exitCode);
}

TEST_P(WindowCloseOnce, AQuitOrCloseInsideWindowCloseOnlyEndsTheGame) {
    expectAnEndAfterTheLoggedCalls(GetParam());
}

const std::string quitInsideWindowClose =
    "oncall <invoke name=\"windowClose\" ></invoke> => fscommand quit\n";

INSTANTIATE_TEST_SUITE_P(
    Ways, WindowCloseOnce,
    ::testing::Values(
        ScriptCase{"QuitCommand",
                   quitInsideWindowClose + "fscommand quit\n",
                   {"event FSCommand quit", "  " + windowClose, "  event FSCommand quit"}},
        ScriptCase{"CloseCommand",
                   quitInsideWindowClose + "post WM_SYSCOMMAND SC_CLOSE 0\n",
                   {"post WM_SYSCOMMAND SC_CLOSE 0", windowClose, "event FSCommand quit"}},
        ScriptCase{"QueuedClose",
                   "oncall <invoke name=\"windowClose\" returntype=\"xml\"></invoke> => fscommand quit\n"
                   "post WM_CLOSE 0 0\n",
                   {"post WM_CLOSE 0 0", queuedWindowClose, "event FSCommand quit"}},
        ScriptCase{"CloseInsideWindowClose",
                   "oncall <invoke name=\"windowClose\" ></invoke> => send WM_CLOSE 0 0\nfscommand quit\n",
                   {"event FSCommand quit", "  " + windowClose, "  send WM_CLOSE 0 0"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A second start after a run: the first let the single-instance name go.
void expectTheGameStartsAgain() {
    ProgramFolder again;
    const HostRun run = again.run("fscommand quit\n");
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(startupCalls(again) + quitting, run.log);
}

// A close posted from outside (the taskbar's Close window, taskkill without
// /F, a shutdown) while a call of the player's runs a modal loop, which
// dispatches it to the window: the movie hears windowClose there, but the
// window, and with it the player, goes only once the call has returned.
class CloseInsideAPlayerCall : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(CloseInsideAPlayerCall, ClosesThePlayerOnlyAfterTheCallReturned) {
    expectAnEndAfterTheLoggedCalls(GetParam());
    expectTheGameStartsAgain();
}

const std::string messageBox = flashCallRequest("MessageBox", "<string>hello</string>");
const std::string selectDialog = flashCallRequest("showSelectDialog");

INSTANTIATE_TEST_SUITE_P(
    Calls, CloseInsideAPlayerCall,
    ::testing::Values(
        ScriptCase{"MessageBox",
                   "messagebox => post WM_CLOSE 0 0\nflashcall " + messageBox + "\nprobe window\n",
                   {"event FlashCall " + messageBox, "  post WM_CLOSE 0 0", "  " + windowClose,
                    "  messagebox caption=\"\" text=\"<string>hello</string>\"", "no reply"}},
        ScriptCase{"SelectDialog",
                   "dialog cancel => post WM_CLOSE 0 0\nflashcall " + selectDialog + "\nprobe window\n",
                   {"event FlashCall " + selectDialog, "  post WM_CLOSE 0 0", "  " + windowClose,
                    "  dialog caption=\"Select File...\" types=\"MP3 Files (*.mp3)\" "
                    "owner=\"AtlWin\"",
                    "  dialog cancelled", "  reply <array></array>"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Shut-down, a restart for updates, signing out, or the Restart Manager
// replacing files (ENDSESSION_CLOSEAPP): Windows may end the process the
// moment WM_ENDSESSION returns, so by then the movie has heard windowClose
// and the desktop has its display back. An end another program cancelled
// changes nothing. The test sends the messages from its own process, as the
// system does; the movie waits for input, so nothing else wakes the loop when
// the process lives on.
struct SessionEnd {
    const char* name;
    std::string script;
    Lines logged;
    LPARAM reason;
};

void PrintTo(const SessionEnd& end, std::ostream* out) {
    *out << end.name;
}

class SessionEnds : public ::testing::TestWithParam<SessionEnd> {};

TEST_P(SessionEnds, TheMovieHearsWindowCloseAndTheDisplayIsBackBeforeTheEnd) {
    ProgramFolder folder;
    const PROCESS_INFORMATION process = folder.start(GetParam().script + "stop ticks\n");
    ASSERT_TRUE(logShows(folder, "stop ticks"));
    const HWND game = gameWindowOf(process.dwProcessId);
    const LPARAM reason = GetParam().reason;
    const Lines before = readLines(folder.log());
    const std::string mode = currentDisplayMode();
    EXPECT_EQ(TRUE, SendMessageW(game, WM_QUERYENDSESSION, 0, reason));
    SendMessageW(game, WM_ENDSESSION, FALSE, reason);
    EXPECT_EQ(before, readLines(folder.log()));
    EXPECT_EQ(mode, currentDisplayMode());
    EXPECT_EQ(TRUE, SendMessageW(game, WM_QUERYENDSESSION, 0, reason));
    SendMessageW(game, WM_ENDSESSION, TRUE, reason);
    // The process may have gone on to close the player since.
    const Lines heard = readLines(folder.log());
    EXPECT_EQ(before + Lines{windowClose},
              Lines(heard.begin(), heard.begin() + std::min(heard.size(), before.size() + 1)));
    EXPECT_EQ(desktopMode, currentDisplayMode());
    const HostRun run = folder.finish(process, 30000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ((GetParam().logged + Lines{"stop ticks", windowClose, "close", "release"}), afterStartup(run));
}

const std::string windowed = "fscommand fullscreen false\n";

INSTANTIATE_TEST_SUITE_P(
    Ways, SessionEnds,
    ::testing::Values(
        SessionEnd{"Fullscreen", "", {}, 0}, SessionEnd{"FullscreenCloseApp", "", {}, ENDSESSION_CLOSEAPP},
        SessionEnd{"Windowed", windowed, {"event FSCommand fullscreen false"}, 0},
        SessionEnd{"WindowedCloseApp", windowed, {"event FSCommand fullscreen false"}, ENDSESSION_CLOSEAPP}),
    [](const auto& info) { return std::string(info.param.name); });

// Another program's close, sent: the loop takes it inside GetMessageW. With
// nothing posted after it (the movie waits for input) the game ends all the
// same, at once.
TEST(SentFromAnotherProgram, ACloseEndsTheGameAtOnce) {
    ProgramFolder folder;
    const PROCESS_INFORMATION process = folder.start("stop ticks\n");
    ASSERT_TRUE(logShows(folder, "stop ticks"));
    SendMessageW(gameWindowOf(process.dwProcessId), WM_CLOSE, 0, 0);
    const HostRun run = folder.finish(process, 20000);
    EXPECT_FALSE(run.timedOut) << "the loop slept on";
    EXPECT_EQ((Lines{"stop ticks", windowClose, "close", "release"}), afterStartup(run));
}

// A player may run messages while it loads the movie: a close taken there,
// before the game runs, ends the game as any close does, windowClose heard
// once, once the movie is loaded.
TEST(CloseDuringTheMoviesLoad, EndsTheGameOnceTheMovieIsLoaded) {
    ProgramFolder folder;
    const HostRun run = folder.finish(folder.start("onput post WM_CLOSE 0 0\n"), 30000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    Lines calls = startupCalls(folder);
    calls.insert(calls.end() - 1, "post WM_CLOSE 0 0");
    EXPECT_EQ((calls + Lines{windowClose, "close", "release"}), run.log);
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

// The session ends while the movie's box is open: the movie hears
// windowClose inside its call, and the display is back, before the end.
TEST(SessionEndInsideACall, TheMovieHearsWindowCloseInsideItsBox) {
    ProgramFolder folder;
    const PROCESS_INFORMATION process = folder.start("flashcall " + messageBox + "\n");
    ASSERT_TRUE(pumpUntil([&] { return showsABox(process.dwProcessId); }, 30000));
    const HWND game = gameWindowOf(process.dwProcessId);
    EXPECT_EQ(TRUE, SendMessageW(game, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    SendMessageW(game, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    const Lines heard = {"event FlashCall " + messageBox, "  " + windowClose};
    EXPECT_EQ(startupCalls(folder) + heard, readLines(folder.log()));
    EXPECT_EQ(desktopMode, currentDisplayMode());
    const HostRun run = folder.finish(process, 30000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(Lines{"|<string>hello</string>"}, run.boxes);
    EXPECT_EQ((heard + Lines{"no reply", "close", "release"}), afterStartup(run));
}

// A close while start-up's box of a refused mode is open (on a desktop too
// small for either game size, a bench of its own): start-up ends there, with
// no movie loaded and no loop without a window, and lets the name go.
TEST(CloseDuringStartUp, EndsTheStartUpAndLetsTheNameGo) {
    if (isModeSupported(800, 600, gameBitsPerPixel)) {
        GTEST_SKIP() << "the desktop offers the game's mode: start-up shows no box here";
    }
    ProgramFolder folder;
    const PROCESS_INFORMATION process = folder.start("probe window\n");
    ASSERT_TRUE(pumpUntil([&] { return showsABox(process.dwProcessId); }, 20000));
    PostMessageW(gameWindowOf(process.dwProcessId), WM_CLOSE, 0, 0);
    const HostRun run = folder.finish(process);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Lines{"|failed to set resolution to 800 x 600.\nError:-2"}, run.boxes);
    const Lines calls = startupCalls(folder);
    // Never attached to the window, the control is only let go.
    EXPECT_EQ(Lines(calls.begin(), calls.begin() + 5) + Lines({"release"}), run.log);
    DEVMODEW desktop = {};
    desktop.dmSize = sizeof(desktop);
    EnumDisplaySettingsW(nullptr, ENUM_REGISTRY_SETTINGS, &desktop);
    EXPECT_EQ(std::to_string(desktop.dmPelsWidth) + "x" + std::to_string(desktop.dmPelsHeight) + "x32",
              currentDisplayMode());
    expectTheGameStartsAgain();
}

// The player, built by another compiler, may raise its events on a stack
// aligned to 4 bytes only, where 32-bit GCC code takes 16 for granted; the
// reply to a large file runs the reply writer's SSE2 scans under that call.
TEST(MisalignedStack, ALargeFileReplyUnderThePlayersCall) {
    ProgramFolder folder;
    std::string text;
    while (text.size() < (1u << 20)) {
        text += "plain text of a saved game, 0123456789 ";
    }
    writeUtf8File(folder.path() + L"\\large.txt", text);
    const std::string request =
        flashCallRequest("getFileContent", "<string>" + utf8(folder.path()) + "\\large.txt</string>");
    const HostRun run = folder.run("misaligned flashcall " + request + "\nfscommand quit\n");
    EXPECT_EQ(1u, run.exitCode);
    const std::string reply = "<string>" + text + "</string>";
    EXPECT_EQ((Lines{"event FlashCall " + request, "  reply " + reply.substr(0, 100) + "... (" +
                                                       std::to_string(reply.size()) + " characters)"} +
               quitting),
              afterStartup(run));
}

TEST(NormalRun, RightClicksAndTheMenuKeyCallTheMovie) {
    ProgramFolder folder;
    // Input is posted to the host's window and, as a real click lands, to the
    // control's own window, which logs what reaches it: the right-button
    // press and the menu key never do, the release and other keys do.
    const HostRun run =
        folder.run("post WM_RBUTTONDOWN 0 0\npost WM_RBUTTONUP 0 0\npost WM_KEYDOWN VK_APPS 0\n"
                   "post WM_KEYDOWN VK_APPS 0x40000001\npost WM_KEYUP VK_APPS 0\n"
                   "post WM_KEYDOWN 0x41 0\n"
                   "post player WM_RBUTTONDOWN 0 0\npost player WM_RBUTTONUP 0 0\n"
                   "post player WM_KEYDOWN VK_APPS 0\npost player WM_KEYDOWN 0x41 0\n"
                   "post WM_CLOSE 0 0\n");
    EXPECT_EQ((Lines{"post WM_RBUTTONDOWN 0 0",
                     rightClick,
                     "post WM_RBUTTONUP 0 0",
                     "post WM_KEYDOWN VK_APPS 0",
                     rightClick,
                     "post WM_KEYDOWN VK_APPS 0x40000001",
                     rightClick,
                     "post WM_KEYUP VK_APPS 0",
                     "post WM_KEYDOWN 0x41 0",
                     "post player WM_RBUTTONDOWN 0 0",
                     rightClick,
                     "post player WM_RBUTTONUP 0 0",
                     "player window got WM_RBUTTONUP 0x00000000",
                     "post player WM_KEYDOWN VK_APPS 0",
                     rightClick,
                     "post player WM_KEYDOWN 0x41 0",
                     "player window got WM_KEYDOWN 0x00000041",
                     "post WM_CLOSE 0 0",
                     queuedWindowClose,
                     "close",
                     "release"}),
              afterStartup(run));
}

TEST(SingleInstance, SecondStartEndsAtOnceShowingNothing) {
    ProgramFolder first;
    // The first copy runs until the test closes it, however long the second start takes.
    PROCESS_INFORMATION running{};
    const bool started = startRunningGame(first, running);
    EXPECT_TRUE(started) << "the first copy did not start its game";
    if (started) {
        ProgramFolder second;
        const HostRun refused = second.run("probe window\n");
        EXPECT_EQ(0u, refused.exitCode);
        EXPECT_EQ(Lines{}, refused.log) << "the second copy created a control";
        EXPECT_EQ(Lines{}, refused.boxes);
    }
    EXPECT_EQ(1u, closeGame(first, running).exitCode);
}

TEST(SingleInstance, TwoStartsAtOnceRunOneGame) {
    ProgramFolder first;
    ProgramFolder second;
    PROCESS_INFORMATION a = first.start("wait 500\nfscommand quit\n");
    PROCESS_INFORMATION b = second.start("wait 500\nfscommand quit\n");
    const HostRun runA = first.finish(a);
    const HostRun runB = second.finish(b);
    const std::multiset<DWORD> codes = {runA.exitCode, runB.exitCode};
    EXPECT_EQ((std::multiset<DWORD>{0u, 1u}), codes);
    EXPECT_EQ(Lines{}, runA.exitCode == 0 ? runA.log : runB.log);
}

struct UnusablePlayer {
    const char* name;
    Environment environment;
    size_t callsBeforeNotice;
};

void PrintTo(const UnusablePlayer& player, std::ostream* out) {
    *out << player.name;
}

class PlayerNotice : public ::testing::TestWithParam<UnusablePlayer> {};

TEST_P(PlayerNotice, ShowsTheNoticeAndGivesUp) {
    ProgramFolder folder;
    const size_t opened = openedAddresses().size();
    const HostRun run = folder.run("probe window\n", GetParam().environment);
    EXPECT_EQ(-1, signedCode(run.exitCode));
    EXPECT_EQ(Lines{noticeBox}, run.boxes);
    // After the box: the download page, through the system's handler, as the
    // bench has no Internet Explorer entry.
    EXPECT_EQ(Lines{utf8(DOWNLOAD_ADDRESS)}, addressesOpenedAfter(opened));
    const Lines calls = startupCalls(folder);
    ASSERT_GE(run.log.size(), GetParam().callsBeforeNotice);
    EXPECT_EQ(Lines(calls.begin(), calls.begin() + GetParam().callsBeforeNotice),
              Lines(run.log.begin(), run.log.begin() + GetParam().callsBeforeNotice));
    EXPECT_EQ(run.log.end(), std::find(run.log.begin(), run.log.end(), "probe window")) << "the movie ran";
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerNotice,
    ::testing::Values(
        UnusablePlayer{"NoControl", {{L"STANDIN_FAIL", L"create"}}, 0},
        UnusablePlayer{"NoContainer", {{L"STANDIN_FAIL", L"container"}}, 2},
        UnusablePlayer{"NoConnectionPoint", {{L"STANDIN_FAIL", L"connectionpoint"}}, 3},
        UnusablePlayer{"AdviseRefused", {{L"STANDIN_FAIL", L"advise"}}, 4},
        UnusablePlayer{"Version9", {{L"STANDIN_VERSION", L"0x00090000"}}, 5},
        UnusablePlayer{"Version9Latest", {{L"STANDIN_VERSION", L"0x0009FFFF"}}, 5},
        UnusablePlayer{"FlashVersionFails", {{L"STANDIN_FAIL", L"FlashVersion"}}, 5},
        UnusablePlayer{"DisableLocalSecurityFails", {{L"STANDIN_FAIL", L"DisableLocalSecurity"}}, 6},
        UnusablePlayer{"MovieFails", {{L"STANDIN_FAIL", L"Movie"}}, 7},
        UnusablePlayer{"MenuFails", {{L"STANDIN_FAIL", L"Menu"}, {L"STANDIN_FAIL_MODE", L"exception"}}, 8}),
    [](const auto& info) { return std::string(info.param.name); });

// A typed call that fails once the control is attached: the window still
// hosts the control. On Windows the last CoUninitialize unloads the player,
// so it must be closed and let go before anything else can reach it: before
// the notice, whose message loop would dispatch to its window and deliver
// the events of a movie already loaded.
struct FailingTypedCall {
    const char* name;
    // Start-up's calls up to the failing one, included.
    size_t calls;
};

void PrintTo(const FailingTypedCall& call, std::ostream* out) {
    *out << call.name;
}

class NoPlayerUnloadedUnderItsWindow : public ::testing::TestWithParam<FailingTypedCall> {};

TEST_P(NoPlayerUnloadedUnderItsWindow, ClosedAndReleasedBeforeTheNotice) {
    ProgramFolder folder;
    const std::string name = GetParam().name;
    // Steps that would log if the movie ran during the notice.
    const HostRun run = folder.run("probe window\nfscommand setCaption x\npost WM_NULL 0 0\n",
                                   {{L"STANDIN_FAIL", std::wstring(name.begin(), name.end())}});
    EXPECT_EQ(-1, signedCode(run.exitCode));
    ASSERT_EQ(Lines{noticeBox}, run.boxes);
    const Lines calls = startupCalls(folder);
    // Nothing after the last reference went, and all of it before the box closed.
    const Lines expected = Lines(calls.begin(), calls.begin() + GetParam().calls) +
                           Lines{"fail " + name + " 0x80004005", "close", "release"};
    EXPECT_EQ(expected, run.log);
    EXPECT_EQ((std::vector<size_t>{run.log.size()}), run.logLinesAtBoxes);
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

INSTANTIATE_TEST_SUITE_P(Calls, NoPlayerUnloadedUnderItsWindow,
                         ::testing::Values(FailingTypedCall{"DisableLocalSecurity", 6},
                                           FailingTypedCall{"Movie", 7}, FailingTypedCall{"Menu", 8}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PlayerVersion, TenIsAccepted) {
    ProgramFolder folder;
    const HostRun run = folder.run("fscommand quit\n", {{L"STANDIN_VERSION", L"0x000A0000"}});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Lines{}, run.boxes);
}

} // namespace
