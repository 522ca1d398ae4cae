#pragma once
// Crashes are handled from outside the game. At start-up the program starts a
// second copy of its own file as the game's crash watcher; the two share a
// little memory and two events that no other program can name. On an
// unhandled exception the game only tells the watcher and waits: a crashed
// process may hold its heap's lock or have next to no stack left. The
// watcher writes the dump of the game's process, lets the game end with the
// crash's code, and gives the display back when the game's mode is in force.
// When the game ends any other way than its normal end (killed, a fail-fast)
// while its mode is in force, the watcher gives the desktop its mode back.

#include "base/crash_dump.h"
#include "base/crash_upload.h"

#include "base/handles.h"

// The game's side, for its lifetime: the program's unhandled-exception
// filter, and std::terminate and abort() ending in an exception it sees. The
// watcher itself starts later, at startCrashWatcher.
class CrashHandling {
  public:
    // Without `useWatcher`, the filter only gives the display back.
    explicit CrashHandling(bool useWatcher);
    CrashHandling(const CrashHandling&) = delete;
    CrashHandling& operator=(const CrashHandling&) = delete;
    // The game's normal end: the watcher ends without touching anything.
    ~CrashHandling();

  private:
    friend void startCrashWatcher();
    static DWORD WINAPI startWatcher(void* handling);

    UniqueHandle mapping_;
    UniqueView view_;
    UniqueHandle crashed_;
    UniqueHandle handled_;
    UniqueHandle ready_;
    UniqueHandle gameProcess_;
    UniqueHandle gameThread_;
    UniqueHandle starter_;
    UniqueHandle watcher_;
};

// Starts the watcher, once, where the handling was made to use one; a second
// copy of the game that ends at once never calls it. The start goes on
// beside the game's own: a crash meanwhile waits for it. When the watcher
// cannot be started the game runs all the same, and the debugger output
// says why.
void startCrashWatcher();

// Waits until the watcher is up (or could not start). Under Wine a process
// that starts may put the display back to the desktop's mode, the game's or
// another program's; on Windows a process start never touches the mode.
// Call before the game's first mode change, whatever the fullscreen kind.
void awaitCrashWatcher();

// Sets the program's filter again: foreign code (the player, the file
// dialog's shell extensions) may have set its own.
void keepCrashFilter();

// Tells COM not to catch exceptions in the calls it dispatches, so that a
// crash in a call into the program reaches the filter. For a thread whose
// COM is initialised.
void keepComFromCatchingCrashes();

// The game's own display mode is in force from just before the game sets
// `mode` until it gives the desktop's mode back. A crash or another end
// gives it back only while the display is still at `mode`: never a mode
// another program set since.
void noteGameDisplayMode(const DEVMODEW& mode);
void noteDisplayModeGivenBack();

// Whether the program was started as a crash watcher; `arguments` is the
// command line after the program's name.
bool isCrashWatcherCommandLine(const char* arguments);
// Runs as the crash watcher of the game that started it; returns once the
// game has ended and its crash, if any, is handled, reported as `reports`
// says, and the reports earlier crashes left waiting are sent. Arguments
// that no game gave (a start by hand) end it at once with ERROR_BAD_ARGUMENTS.
int runCrashWatcher(const char* arguments, const CrashDumpNames& names, bool writeDumps,
                    const CrashReportSettings& reports);
