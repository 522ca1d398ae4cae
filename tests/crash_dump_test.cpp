// The dump a crash leaves for the studio, in the player's %LOCALAPPDATA%
// (a private one per test), written by the game's crash watcher: one per
// crash on any thread, with the heap's lock held, or after the player set a
// filter of its own; the newest ten kept, none without a crash, from a
// program built without them, or where the folder cannot be made; the
// process ends and the display comes back in every case. The watcher also
// gives the display back when the game is killed, never a mode the game did
// not set, and is no second game.
#include "base/crash_dump.h"
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <optional>

namespace {

// The movie's right-click handler runs STEP; the host calls it from its
// message loop, outside any dispatched message.
std::string onRightClick(const std::string& step) {
    return "oncall <invoke name=\"rightClick\" returntype=\"xml\"></invoke> => " + step +
           "\npost WM_RBUTTONDOWN 0 0\nwait 1000\nprobe window\n";
}

// A crash of the program at `program` on the game's thread.
HostRun crashOnTheGamesThread(const AppData& appData, const std::wstring& program = GAMEHOST_EXE) {
    ProgramFolder folder(program);
    return folder.run(onRightClick("crash here"), appData.environment());
}

void expectTheSameEndAsACrash(const HostRun& run) {
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
    EXPECT_EQ((Lines{"post WM_RBUTTONDOWN 0 0", rightClick}), afterStartup(run));
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

TEST(CrashDump, NamePartsLoseWhatAFileNameCannotHold) {
    EXPECT_EQ(L"Game_ The _Sequel_", fileNamePart(L"Game: The \"Sequel\""));
    EXPECT_EQ(L"a_b_c_d_e_f_g_h_i", fileNamePart(L"a<b>c/d\\e|f?g*h\ti"));
    // Windows drops trailing dots and blanks from a name.
    EXPECT_EQ(L"Studio Inc__", fileNamePart(L"Studio Inc. "));
}

// A crash inside the heap's own code holds the heap's lock: a dump written
// inside the process would wait for it for ever.
TEST(CrashDump, ACrashHoldingTheHeapsLockLeavesOne) {
    const AppData appData;
    ProgramFolder folder;
    const HostRun run = folder.run(onRightClick("crash locked"), appData.environment());
    expectTheSameEndAsACrash(run);
    EXPECT_TRUE(leftOneCrashDump(appData, run, run.threadId));
}

// The program sets its filter again once the player is created.
TEST(CrashDump, APlayersOwnFilterLeavesOneAllTheSame) {
    const AppData appData;
    Environment environment = appData.environment();
    environment.emplace_back(L"STANDIN_FILTER", L"own");
    ProgramFolder folder;
    const HostRun run = folder.run(onRightClick("crash here"), environment);
    expectTheSameEndAsACrash(run);
    EXPECT_TRUE(leftOneCrashDump(appData, run, run.threadId));
}

TEST(CrashDump, ACrashOnAnotherThreadNamesThatThread) {
    const AppData appData;
    ProgramFolder folder;
    const HostRun run = folder.run(onRightClick("crash"), appData.environment());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
    const Lines log = afterStartup(run);
    const std::string crashLine = "crash on thread ";
    ASSERT_EQ(3u, log.size());
    ASSERT_EQ(crashLine, log[2].substr(0, crashLine.size()));
    EXPECT_TRUE(leftOneCrashDump(appData, run, std::stoul(log[2].substr(crashLine.size()))));
    EXPECT_EQ(desktopMode, currentDisplayMode());
}

// The crashed thread has next to no stack left to hand the crash over with.
TEST(CrashDump, AStackOverflowOnTheGamesThreadEndsTheProcess) {
    const AppData appData;
    ProgramFolder folder;
    const HostRun run = folder.run(onRightClick("overflow"), appData.environment());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(desktopMode, currentDisplayMode());
    EXPECT_LE(appData.dumps().size(), 1u);
    if (appData.dumps().size() == 1) {
        // Known difference of the emulator that runs 32-bit Wine where the
        // kernel runs no 32-bit code: the overflow's fault reaches Wine
        // without its trap number and is reported as an illegal instruction.
        const std::wstring dump = appData.dumpFolder() + L"\\" + appData.dumps().front();
        const DWORD code = readCrashDump(dump).code == static_cast<DWORD>(EXCEPTION_ILLEGAL_INSTRUCTION)
                               ? static_cast<DWORD>(EXCEPTION_ILLEGAL_INSTRUCTION)
                               : static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW);
        EXPECT_TRUE(leftOneCrashDump(appData, run, run.threadId, code));
    }
}

// A crash in the message loop's handling of a right click, by the program
// under a studio's name: kept as the sample the report's test reads.
TEST(CrashDump, ACrashOfTheProgramUnderAnyNameLeavesOneDump) {
    const AppData appData;
    ProgramFolder folder(GAMEHOST_EXE, L"My Game.exe");
    expectTheSameEndAsACrash(folder.run(onRightClick("crash here"), appData.environment()));
    ASSERT_EQ(1u, appData.dumps().size());
    CopyFileW((appData.dumpFolder() + L"\\" + appData.dumps().front()).c_str(),
              unixFilePath(CRASH_SAMPLE).c_str(), FALSE);
}

TEST(CrashDump, NoneWhenTheGameEndsNormally) {
    const AppData appData;
    ProgramFolder folder;
    const HostRun run = folder.run("fscommand quit\n", appData.environment());
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(appData.dumpFolder().c_str()));
}

TEST(CrashDump, NoneFromAProgramBuiltWithoutThem) {
    const AppData appData;
    expectTheSameEndAsACrash(crashOnTheGamesThread(appData, NO_DUMPS_PROGRAM));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(appData.dumpFolder().c_str()));
}

// Ten dumps of earlier crashes, a day apart, then one more crash.
TEST(CrashDump, TheNewestTenAreKept) {
    const AppData appData;
    SHCreateDirectoryExW(nullptr, appData.dumpFolder().c_str(), nullptr);
    std::vector<std::wstring> kept;
    for (int day = 1; day <= 10; ++day) {
        const std::wstring name = L"old-" + std::to_wstring(day + 10) + L".dmp";
        const std::wstring path = appData.dumpFolder() + L"\\" + name;
        writeUtf8File(path, "MDMP");
        SYSTEMTIME time = {2020, 1, 0, static_cast<WORD>(day), 12, 0, 0, 0};
        FILETIME written;
        SystemTimeToFileTime(&time, &written);
        const UniqueFile file(
            CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        SetFileTime(file.get(), nullptr, nullptr, &written);
        if (day > 1) {
            kept.push_back(name);
        }
    }
    const HostRun run = crashOnTheGamesThread(appData);
    std::vector<std::wstring> dumps = appData.dumps();
    ASSERT_EQ(10u, dumps.size());
    // The new one sorts first: its name starts with the product's.
    EXPECT_EQ(kept, std::vector<std::wstring>(dumps.begin() + 1, dumps.end()));
    EXPECT_EQ(0, dumps.front().find(L"" GAMEHOST_PRODUCT_NAME));
}

// A file where the company's folder should be: nothing can be made there.
TEST(CrashDump, NoneWhereTheFolderCannotBeMadeAndTheSameEnd) {
    const AppData appData;
    const std::wstring company =
        appData.dumpFolder().substr(0, appData.dumpFolder().find(L'\\', appData.path().size() + 1));
    writeUtf8File(company, "not a folder");
    expectTheSameEndAsACrash(crashOnTheGamesThread(appData));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(appData.dumpFolder().c_str()));
}

// A game killed where it stands (a fail-fast, "End task"), no filter run.
// Another program's mode, set while the game runs, is the mode the display
// must still have afterwards, unless the game's own mode was in force; and
// the watcher makes no change beyond giving the game's mode back.
struct KilledGame {
    const char* name;
    std::wstring program;
    std::string script;
    bool otherProgramsMode;
    std::string modeAfter;
    int modeChanges;
};

void PrintTo(const KilledGame& game, std::ostream* out) {
    *out << game.name;
}

class GameKilled : public ::testing::TestWithParam<KilledGame> {};

TEST_P(GameKilled, TheWatcherGivesBackOnlyTheGamesMode) {
    const KilledGame& game = GetParam();
    const std::string waitForTheTest = "watch display\nwait display\n";
    ProgramFolder folder(game.program);
    HostRun run;
    std::optional<OtherProgramsMode> other;
    {
        const DisplayChanges changes;
        const PROCESS_INFORMATION process =
            folder.start(game.script + (game.otherProgramsMode ? waitForTheTest : "") + "terminate\n");
        if (game.otherProgramsMode) {
            EXPECT_TRUE(pumpUntil(
                [&] {
                    const Lines log = readLines(folder.log());
                    return std::find(log.begin(), log.end(), "watch display") != log.end();
                },
                30000));
            other.emplace(800, 600);
            EXPECT_TRUE(other->changed());
        }
        run = folder.finish(process);
        EXPECT_EQ(game.modeAfter, currentDisplayMode());
        EXPECT_EQ(game.modeChanges, changes.count());
    }
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(0xDEADu, run.exitCode);
    EXPECT_FALSE(run.watcherLingered);
}

// The game's mode set at start, then given back; another program's change
// on top of the game's, the framed game's or the desktop kind's.
INSTANTIATE_TEST_SUITE_P(
    CrashWatcher, GameKilled,
    ::testing::Values(KilledGame{"FullscreenAtTheGamesMode", GAMEHOST_EXE, "", false, desktopMode, 2},
                      KilledGame{"AfterAnotherProgramsChange", GAMEHOST_EXE, "", true, "800x600x32", 2},
                      KilledGame{"Windowed", GAMEHOST_EXE, "fscommand fullscreen false\n", true, "800x600x32",
                                 3},
                      KilledGame{"FullscreenAtTheDesktopsMode", DESKTOP_PROGRAM, "", true, "800x600x32", 1}),
    [](const ::testing::TestParamInfo<KilledGame>& info) { return std::string(info.param.name); });

// The watcher is no second game: it creates no player and shows nothing, and
// it ends with the game.
TEST(CrashWatcher, EndsWithTheGameAndShowsNothing) {
    ProgramFolder folder;
    PROCESS_INFORMATION running;
    ASSERT_TRUE(startRunningGame(folder, running));
    const UniqueHandle watcher = watcherOf(running.dwProcessId);
    EXPECT_TRUE(watcher);
    const HostRun run = closeGame(folder, running);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_FALSE(run.watcherLingered);
    EXPECT_EQ(1, std::count(run.log.begin(), run.log.end(), created()));
    EXPECT_TRUE(run.boxes.empty());
}

// A player who starts the program with the watcher's arguments by hand gets
// nothing: no game, no box, and no process left waiting.
TEST(CrashWatcher, ArgumentsGivenByHandEndItAtOnce) {
    ProgramFolder folder;
    for (const wchar_t* arguments :
         {L"--crash-watcher", L"--crash-watcher zz", L"--crash-watcher 4", L"--crash-watcher 7ffffff8"}) {
        SCOPED_TRACE(utf8(arguments));
        const HostRun run = folder.finish(folder.start("", {}, arguments), watcherBound);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_ARGUMENTS), run.exitCode);
        EXPECT_TRUE(run.log.empty());
        EXPECT_TRUE(run.boxes.empty());
    }
}

} // namespace
