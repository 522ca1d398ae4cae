#pragma once
// Test support: the real program run from a temporary program folder, with a
// stand-in script as its movie, under the test's eyes.

#include "display/fullscreen.h"
#include "tests/standin_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

struct HostRun {
    DWORD exitCode = 0;
    bool timedOut = false;
    // The program's process and the thread it started on, the game's.
    DWORD processId = 0;
    DWORD threadId = 0;
    // What the stand-in logged.
    std::vector<std::string> log;
    // Message boxes the test closed from outside, as "CAPTION|TEXT".
    std::vector<std::string> boxes;
    // For each of them, how many lines the stand-in had logged when it was closed.
    std::vector<size_t> logLinesAtBoxes;
    // The game's crash watcher still ran watcherBound after the game ended.
    bool watcherLingered = false;
};

// How long a crash watcher may run on after its game ended.
constexpr DWORD watcherBound = 10000;

// The crash watcher (a copy of the program file, `programName`) that the
// copy of the program at `gameProcessId` started, while it runs; null when
// there is none. Its handle may wait, ask its id, and end it. Only a child
// of the program's own file counts: Wine's crash debugger may be another.
UniqueHandle watcherOf(DWORD gameProcessId, const std::wstring& programName = L"gamehost.exe");

// Wine loads its own builtin copy of a system library even when a DLL of that
// name lies in the program folder. Told "native, then builtin" for the
// program, as for `names` while this lives, it searches the program folder
// first, as Windows does for the libraries it does not always take from its
// own folder: a planted DLL then shows.
class NativeLibrariesFirst {
  public:
    explicit NativeLibrariesFirst(std::initializer_list<const wchar_t*> names);
    NativeLibrariesFirst(const NativeLibrariesFirst&) = delete;
    NativeLibrariesFirst& operator=(const NativeLibrariesFirst&) = delete;
    ~NativeLibrariesFirst();
    bool set() const { return static_cast<bool>(overrides_); }

  private:
    UniqueKey overrides_;
};

// A folder holding a copy of the program; its movie is written per run.
class ProgramFolder {
  public:
    // `builtProgram` is the Unix path of the program the build made, copied
    // as `name`.
    explicit ProgramFolder(const std::wstring& builtProgram = GAMEHOST_EXE,
                           const std::wstring& name = L"gamehost.exe");
    const std::wstring& path() const { return folder_.path(); }
    std::wstring program() const { return folder_.file(name_); }
    std::wstring log() const { return folder_.file(L"standin.log"); }
    // The current folder the program starts in; the program folder unless set.
    void setWorkingFolder(const std::wstring& folder) { workingFolder_ = folder; }

    // Starts the program with `script` as game.swf and the stand-in
    // configured by `environment`; the caller waits with finish().
    PROCESS_INFORMATION start(const std::string& script, const Environment& environment = {},
                              const std::wstring& arguments = L"");
    // Waits for the process, closing with OK any message box it leaves
    // standing for a second, then for its crash watcher: the bench is the
    // next test's only once the watcher has done its work. The bound only stops a hung program: a run of
    // several dialogs under the emulator on a loaded machine takes well over
    // half a minute, and CTest's own limit of two minutes stays above it.
    HostRun finish(PROCESS_INFORMATION process, DWORD milliseconds = 90000);
    HostRun run(const std::string& script, const Environment& environment = {},
                const std::wstring& arguments = L"") {
        return finish(start(script, environment, arguments));
    }

  private:
    TempFolder folder_;
    std::wstring name_;
    std::wstring workingFolder_;
};

// A private %LOCALAPPDATA% for the program, where its crash dumps go.
class AppData {
  public:
    Environment environment() const { return {{L"LOCALAPPDATA", folder_.path()}}; }
    const std::wstring& path() const { return folder_.path(); }
    std::wstring dumpFolder() const;
    // The file names of the dumps there, in name order.
    std::vector<std::wstring> dumps() const;

  private:
    TempFolder folder_;
};

// What a test reads of a minidump, through the system's own reader.
struct CrashDump {
    bool parsed = false;
    DWORD code = 0;
    DWORD thread = 0;
    // The modules' file names, lower case.
    std::vector<std::string> modules;
};
CrashDump readCrashDump(const std::wstring& path);

// The run left one dump, named for its process, that parses as a minidump
// whose exception is `code` on `thread` and whose modules hold the program
// and the stand-in player.
::testing::AssertionResult leftOneCrashDump(const AppData& appData, const HostRun& run, DWORD thread,
                                            DWORD code = static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

// What the stand-in logs, shared by the end-to-end scenarios.
using Lines = std::vector<std::string>;

Lines operator+(Lines lines, const Lines& more);

// One case of a parameterised end-to-end test: a script and what it logs.
struct ScriptCase {
    const char* name;
    std::string script;
    Lines logged;
};

// Names the case in the test's name and output.
inline void PrintTo(const ScriptCase& scriptCase, std::ostream* out) {
    *out << scriptCase.name;
}

// The bench's desktop mode.
extern const std::string desktopMode;
// The calls into the movie: windowClose as the window procedure makes it and
// as the message loop makes it for a queued WM_CLOSE.
extern const std::string windowClose;
extern const std::string queuedWindowClose;
extern const std::string gameMinimized;
extern const std::string gameMaximized;
extern const std::string rightClick;
// The game's window fullscreen at 1024 x 768.
extern const std::string fullscreenWindow;
// The quit command at the end of most scripts, and what follows it: the
// movie hears windowClose inside its command, while the control is open;
// shutdown then closes and releases the control.
extern const Lines quitting;

// Start-up's calls on the control, in order, made by the stand-in at `player`.
Lines startupCalls(const ProgramFolder& folder, const std::wstring& player = registeredStandIn());

// The notice, as the test closed it.
inline const std::string noticeBox = "ERROR|This game requires Macromedia Flash Player.\n"
                                     "Please download latest Flash Player and run the game again";
// The addresses the bench's browser stub was asked to open, oldest first.
Lines openedAddresses();
// Those after the first `opened`, once there is one more (or after a few seconds).
Lines addressesOpenedAfter(size_t opened);

// The stand-in's log after start-up's calls on the control.
std::vector<std::string> afterStartup(const HostRun& run);

// An exit code as the program returned it: -1 reads as 0xFFFFFFFF otherwise.
inline int signedCode(DWORD code) {
    return static_cast<int>(code);
}

// Waits until the stand-in in `folder` has logged `line`; false when it has
// not within the bound, which only stops a hung program.
bool logShows(const ProgramFolder& folder, const std::string& line, DWORD milliseconds = 30000);

// Starts the program in `folder` on a movie that runs until closed, and
// waits until the game has started; false when it did not.
bool startRunningGame(ProgramFolder& folder, PROCESS_INFORMATION& running);
// Closes that game's window and waits for the program: a copy without a
// window runs on until the wait times out.
HostRun closeGame(ProgramFolder& folder, PROCESS_INFORMATION running);

// The current display mode as "WxHxBPP".
std::string currentDisplayMode();

// The setResolution request, the script step that sends it and the event
// the stand-in logs for it.
std::string setResolutionRequest(int width, int height);
std::string setResolution(int width, int height);
std::string setResolutionEvent(int width, int height);

// "L,T,R,B" as the stand-in logs a rectangle.
std::string rect(int left, int top, int right, int bottom);
// The framed window at (0, 0) whose client area is a game of width by height,
// its frame as the system makes it for the framed style.
std::string windowedWindow(int width, int height);
// That window's client area, exactly the game size.
std::string windowedClient(int width, int height);
// The fullscreen window after a suspension, on a desktop `desktopHeight` high.
std::string minimisedWindow(int desktopHeight);

// The framed game minimised from its frame by the user, a fullscreen
// request while it is suspended, the resume and two probes; and what the
// stand-in logs for it, ending with the probes' lines. A minimised window
// comes back where its placement says, so entering fullscreen must set that,
// or the resume shows the framed window's place.
extern const std::string minimisedFromItsFrame;
Lines minimisedFromItsFrameLog(const std::string& window, const std::string& client);

// The game window of a running copy of the program, or null.
HWND gameWindowOf(DWORD processId);
// The message box (a visible #32770 window) the process shows, or null.
HWND boxOf(DWORD processId);
inline bool showsABox(DWORD processId) {
    return boxOf(processId) != nullptr;
}

// A dynamic change of the display mode made by the test, as another program
// makes one, undone when it goes.
class OtherProgramsMode {
  public:
    OtherProgramsMode(int width, int height) {
        DEVMODEW mode = {};
        mode.dmSize = sizeof(mode);
        mode.dmPelsWidth = static_cast<DWORD>(width);
        mode.dmPelsHeight = static_cast<DWORD>(height);
        mode.dmBitsPerPel = gameBitsPerPixel;
        mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL;
        changed_ = ChangeDisplaySettingsW(&mode, 0) == DISP_CHANGE_SUCCESSFUL;
    }
    OtherProgramsMode(const OtherProgramsMode&) = delete;
    OtherProgramsMode& operator=(const OtherProgramsMode&) = delete;
    ~OtherProgramsMode() {
        if (changed_) {
            ChangeDisplaySettingsW(nullptr, 0);
        }
    }
    bool changed() const { return changed_; }

  private:
    bool changed_ = false;
};

// Counts the display-mode changes the system announces to every top-level
// window (WM_DISPLAYCHANGE) while it lives, from a window on a thread of its
// own, so that changes made by any process at any moment are seen: at a
// program's shutdown, or in its crash handler.
class DisplayChanges {
  public:
    DisplayChanges();
    ~DisplayChanges();
    DisplayChanges(const DisplayChanges&) = delete;
    DisplayChanges& operator=(const DisplayChanges&) = delete;
    int count() const { return count_; }

  private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void watch(HANDLE ready);
    std::atomic<int> count_{0};
    std::atomic<DWORD> threadId_{0};
    std::thread thread_;
};
