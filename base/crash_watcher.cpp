#include "base/crash_watcher.h"

#include "base/exception_report.h"
#include "base/system_library.h"

#include <objidl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <string>
#include <thread>

namespace {

// kernel32's exports from Windows 7 SP1 on (earlier with an update), not in
// MinGW's headers.
using GetExceptionPolicyFunction = BOOL(WINAPI*)(LPDWORD);
using SetExceptionPolicyFunction = BOOL(WINAPI*)(DWORD);
constexpr DWORD PROCESS_CALLBACK_FILTER_ENABLED = 0x1;

// The argument that makes the program a watcher, followed by the handle of
// the shared memory in hexadecimal.
constexpr char watcherArgument[] = "--crash-watcher";

// How long the crashed thread waits for the watcher's dump (two to three
// seconds through the i386 emulator), and how long the watcher waits for the
// game to end by itself after a crash, or after its thread ended.
constexpr DWORD handlingBound = 20000;
constexpr DWORD endBound = 5000;
// How long the game waits for its watcher to be up.
constexpr DWORD readyBound = 10000;

// What the game and its watcher share, in a mapping of the game's. Both are
// the same program file, so both lay it out alike.
struct SharedState {
    DWORD magic;
    DWORD size;
    DWORD gameProcessId;
    // Handles the watcher inherits, by value: inheriting keeps the values.
    HANDLE gameProcess;
    HANDLE gameThread;
    HANDLE crashed;
    HANDLE handled;
    HANDLE ready;
    // The first crash, written before `crashed` is signalled.
    DWORD crashedThread;
    DWORD crashCode;
    ULONG_PTR exceptionPointers;
    // The mode the game set, valid while gameModeInForce; written before it.
    DWORD modeWidth;
    DWORD modeHeight;
    DWORD modeBits;
    volatile LONG gameModeInForce;
    volatile LONG endingNormally;
};
constexpr DWORD sharedMagic = 0x57685247;

// The game's side, owned by its CrashHandling. Without a watcher the state
// is the process's own.
SharedState localState = {};
SharedState* state = &localState;
CrashHandling* activeHandling = nullptr;
bool watcherWanted = false;
HANDLE crashedEvent = nullptr;
HANDLE handledEvent = nullptr;
// The thread that starts the watcher, and the watcher once started.
HANDLE starterThread = nullptr;
HANDLE watcherProcess = nullptr;
// The first crash; later ones (another thread at the same time) only wait.
LONG crashClaimed = 0;

void debugOutput(const wchar_t* format, DWORD value) {
    wchar_t text[160];
    std::swprintf(text, std::size(text), format, value);
    OutputDebugStringW(text);
}

// The desktop's mode back, while the game's is in force and the display is
// still at it.
void giveGameModeBack(SharedState& shared) {
    if (!shared.gameModeInForce) {
        return;
    }
    DEVMODEW current = {};
    current.dmSize = sizeof(current);
    if (EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &current) &&
        current.dmPelsWidth == shared.modeWidth && current.dmPelsHeight == shared.modeHeight &&
        current.dmBitsPerPel == shared.modeBits) {
        ChangeDisplaySettingsW(nullptr, 0);
    }
    InterlockedExchange(&shared.gameModeInForce, 0);
}

// Runs on the crashed thread, maybe with a few kilobytes of stack left and
// its heap's lock held: it only hands the crash over and waits. Once the
// watcher has handled it, the process ends at once with the crash's code:
// the report is written, and the system's own would only keep the game's
// window up. Without a watcher, or with one stuck, the system handles the
// crash as usual.
LONG WINAPI handOverCrash(EXCEPTION_POINTERS* pointers) {
    if (starterThread) {
        WaitForSingleObject(starterThread, handlingBound);
    }
    if (InterlockedCompareExchange(&crashClaimed, 1, 0) != 0) {
        return WaitForSingleObject(handledEvent, handlingBound) == WAIT_OBJECT_0 && watcherProcess
                   ? EXCEPTION_EXECUTE_HANDLER
                   : EXCEPTION_CONTINUE_SEARCH;
    }
    state->crashedThread = GetCurrentThreadId();
    state->crashCode = pointers->ExceptionRecord->ExceptionCode;
    state->exceptionPointers = reinterpret_cast<ULONG_PTR>(pointers);
    DWORD woken = WAIT_FAILED;
    if (watcherProcess) {
        SetEvent(crashedEvent);
        const HANDLE ends[] = {handledEvent, watcherProcess};
        woken = WaitForMultipleObjects(2, ends, FALSE, handlingBound);
    }
    if (woken == WAIT_OBJECT_0) {
        return EXCEPTION_EXECUTE_HANDLER;
    }
    // A watcher still writing gives the display back once the game ends.
    if (woken != WAIT_TIMEOUT) {
        giveGameModeBack(*state);
    }
    SetEvent(handledEvent);
    return EXCEPTION_CONTINUE_SEARCH;
}

// std::terminate and abort() end here, in an exception the filter sees,
// rather than in an exit with no dump.
void endInAnException() {
    RaiseException(STATUS_FATAL_APP_EXIT, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void onAbortSignal(int) {
    endInAnException();
}

// Windows 7 on 64 bits swallows exceptions in window procedures the kernel
// calls (a 32-bit program's callbacks among them) unless told not to.
void keepCallbackExceptions() {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto getPolicy =
        procedure<GetExceptionPolicyFunction>(kernel32, "GetProcessUserModeExceptionPolicy");
    const auto setPolicy =
        procedure<SetExceptionPolicyFunction>(kernel32, "SetProcessUserModeExceptionPolicy");
    DWORD flags = 0;
    if (getPolicy && setPolicy && getPolicy(&flags)) {
        setPolicy(flags & ~PROCESS_CALLBACK_FILTER_ENABLED);
    }
}

std::wstring programPath() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring systemFolder() {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

void setInheritable(std::initializer_list<HANDLE> handles, bool inheritable) {
    for (const HANDLE handle : handles) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, inheritable ? HANDLE_FLAG_INHERIT : 0);
    }
}

// Starts the watcher with `mapping` and the handles `state` names; its
// process, or null.
HANDLE startWatcherProcess(HANDLE mapping) {
    const std::wstring program = programPath();
    const std::wstring folder = systemFolder();
    wchar_t handleText[32];
    std::swprintf(handleText, std::size(handleText), L" %hs %llx", watcherArgument,
                  static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(mapping)));
    std::wstring commandLine = L"\"" + program + L"\"" + handleText;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // No busy cursor for a process that never shows a window.
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION process = {};
    // Inheritable only while the watcher is made, at start-up: no child that
    // the game starts later gets them. The watcher's current folder is the
    // system's, so that it holds no folder of the player's.
    const std::initializer_list<HANDLE> shared = {mapping,        state->gameProcess, state->gameThread,
                                                  state->crashed, state->handled,     state->ready};
    setInheritable(shared, true);
    const BOOL started =
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    const DWORD error = GetLastError();
    setInheritable(shared, false);
    if (!started) {
        debugOutput(L"No crash watcher: it could not be started (error %lu).\n", error);
        return nullptr;
    }
    const UniqueHandle thread(process.hThread);
    return process.hProcess;
}

// The game as its watcher sees it: what it inherited, checked before it is
// taken over. Values passed by hand are no handles of ours to close.
class WatchedGame {
  public:
    bool open(const char* arguments);
    // Waits for the game's crash or end and deals with it: reports the
    // crash as `reports` says, once the game has ended, and sends the
    // reports earlier crashes left waiting.
    void watch(const CrashDumpNames& names, bool writeDumps, const CrashReportSettings& reports);

  private:
    // After a crash, once the game has ended: the dump's path, or empty when
    // none was written; empty after any other end.
    std::wstring watchGame(const CrashDumpNames& names, bool writeDumps);
    std::wstring handleCrash(const CrashDumpNames& names, bool writeDumps);
    void endGame(DWORD code);

    UniqueView view_;
    SharedState* shared_ = nullptr;
    UniqueHandle mapping_;
    UniqueHandle process_;
    UniqueHandle thread_;
    UniqueHandle crashed_;
    UniqueHandle handled_;
    UniqueHandle ready_;
};

bool WatchedGame::open(const char* arguments) {
    const char* text = arguments + std::strlen(watcherArgument);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 16);
    if (end == text || *end != '\0') {
        return false;
    }
    const auto mapping = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    view_.reset(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(SharedState)));
    if (!view_) {
        return false;
    }
    shared_ = static_cast<SharedState*>(view_.get());
    if (shared_->magic != sharedMagic || shared_->size != sizeof(SharedState) ||
        shared_->gameProcessId == 0 || GetProcessId(shared_->gameProcess) != shared_->gameProcessId) {
        return false;
    }
    mapping_.reset(mapping);
    process_.reset(shared_->gameProcess);
    thread_.reset(shared_->gameThread);
    crashed_.reset(shared_->crashed);
    handled_.reset(shared_->handled);
    ready_.reset(shared_->ready);
    return true;
}

void WatchedGame::watch(const CrashDumpNames& names, bool writeDumps, const CrashReportSettings& reports) {
    SetEvent(ready_.get());
    // The reports that earlier crashes left waiting go in the background
    // while the game runs; the watcher ends only after them.
    const std::wstring folder = writeDumps ? crashDumpFolder(names) : L"";
    std::thread waiting;
    if (!folder.empty() && *reports.address) {
        waiting = std::thread([&reports, &folder] {
            try {
                sendWaitingReports(reports, folder);
            } catch (...) {
                reportCaughtException(L"sendWaitingReports");
            }
        });
    }
    const std::wstring dump = watchGame(names, writeDumps);
    // Asked once the game has ended and the display is back.
    if (!dump.empty()) {
        reportCrash(reports, dump);
    }
    if (waiting.joinable()) {
        waiting.join();
    }
}

std::wstring WatchedGame::watchGame(const CrashDumpNames& names, bool writeDumps) {
    const HANDLE events[] = {crashed_.get(), thread_.get(), process_.get()};
    const DWORD woken = WaitForMultipleObjects(3, events, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) {
        return handleCrash(names, writeDumps);
    }
    // The game's thread ends before its process; a process that goes on
    // without it after a while lost the thread without a filter run (a stack
    // overflow too deep to report): nothing can go on, and there is no crash
    // to write about.
    if (woken == WAIT_OBJECT_0 + 1 && WaitForSingleObject(process_.get(), endBound) == WAIT_TIMEOUT &&
        !shared_->endingNormally) {
        DWORD code = 0;
        GetExitCodeThread(thread_.get(), &code);
        giveGameModeBack(*shared_);
        TerminateProcess(process_.get(), code);
        return {};
    }
    giveGameModeBack(*shared_);
    return {};
}

// The dump first, while the game is as the crash left it. The display comes
// back once the game has ended: a mode change is announced to every window,
// and the crashed game's, whose thread no longer answers, would hold the
// announcement up (four seconds under Wine) with its frozen window on top.
std::wstring WatchedGame::handleCrash(const CrashDumpNames& names, bool writeDumps) {
    std::wstring dump;
    if (writeDumps) {
        dump =
            CrashDumpWriter(names, process_.get()).write(shared_->crashedThread, shared_->exceptionPointers);
    }
    endGame(shared_->crashCode);
    giveGameModeBack(*shared_);
    return dump;
}

// The crash goes on as the system handles it, which ends the game; a thread
// stuck in that handling must not keep it alive.
void WatchedGame::endGame(DWORD code) {
    SetEvent(handled_.get());
    if (WaitForSingleObject(process_.get(), endBound) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), code);
    }
}

} // namespace

CrashHandling::CrashHandling(bool useWatcher)
    : crashed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      handled_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (activeHandling) {
        return;
    }
    if (useWatcher) {
        mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(SharedState), nullptr));
        view_.reset(mapping_ ? MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(SharedState))
                             : nullptr);
    }
    if (view_) {
        state = static_cast<SharedState*>(view_.get());
    }
    *state = {};
    state->magic = sharedMagic;
    state->size = sizeof(SharedState);
    state->gameProcessId = GetCurrentProcessId();
    state->crashed = crashed_.get();
    state->handled = handled_.get();
    state->ready = ready_.get();
    watcherWanted = view_ && crashed_ && handled_ && ready_;
    if (!useWatcher) {
        OutputDebugStringW(L"No crash watcher: this program is built without one.\n");
    } else if (!watcherWanted) {
        debugOutput(L"No crash watcher: what it shares could not be made (error %lu).\n", GetLastError());
    }
    crashedEvent = crashed_.get();
    handledEvent = handled_.get();
    activeHandling = this;
    keepCallbackExceptions();
    std::set_terminate(endInAnException);
    std::signal(SIGABRT, onAbortSignal);
    SetUnhandledExceptionFilter(handOverCrash);
}

CrashHandling::~CrashHandling() {
    if (activeHandling != this) {
        return;
    }
    SetUnhandledExceptionFilter(nullptr);
    if (starter_) {
        WaitForSingleObject(starter_.get(), INFINITE);
    }
    InterlockedExchange(&state->endingNormally, 1);
    localState = *state;
    state = &localState;
    starterThread = nullptr;
    watcherProcess = nullptr;
    crashedEvent = nullptr;
    handledEvent = nullptr;
    watcherWanted = false;
    activeHandling = nullptr;
}

DWORD WINAPI CrashHandling::startWatcher(void* handling) {
    try {
        auto& self = *static_cast<CrashHandling*>(handling);
        self.watcher_.reset(startWatcherProcess(self.mapping_.get()));
        watcherProcess = self.watcher_.get();
        if (watcherProcess) {
            const HANDLE up[] = {self.ready_.get(), watcherProcess};
            WaitForMultipleObjects(2, up, FALSE, readyBound);
        }
    } catch (...) {
        reportCaughtException(L"startWatcher");
    }
    return 0;
}

void startCrashWatcher() {
    if (!activeHandling || !watcherWanted || activeHandling->starter_) {
        return;
    }
    CrashHandling& handling = *activeHandling;
    const HANDLE self = GetCurrentProcess();
    // What dbghelp needs of the game, and the means to end it; the thread is
    // the game's, this one.
    DuplicateHandle(self, self, self, handling.gameProcess_.put(),
                    PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE | PROCESS_TERMINATE |
                        SYNCHRONIZE,
                    FALSE, 0);
    DuplicateHandle(self, GetCurrentThread(), self, handling.gameThread_.put(),
                    SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0);
    if (!handling.gameProcess_ || !handling.gameThread_) {
        debugOutput(L"No crash watcher: the game's handles could not be made (error %lu).\n", GetLastError());
        return;
    }
    state->gameProcess = handling.gameProcess_.get();
    state->gameThread = handling.gameThread_.get();
    // A process start takes Wine tens of milliseconds of the caller's time.
    handling.starter_.reset(CreateThread(nullptr, 0, CrashHandling::startWatcher, &handling, 0, nullptr));
    if (!handling.starter_) {
        debugOutput(L"No crash watcher: its start could not begin (error %lu).\n", GetLastError());
        return;
    }
    starterThread = handling.starter_.get();
}

void awaitCrashWatcher() {
    if (starterThread) {
        WaitForSingleObject(starterThread, readyBound);
    }
}

void keepCrashFilter() {
    if (activeHandling) {
        SetUnhandledExceptionFilter(handOverCrash);
    }
}

void keepComFromCatchingCrashes() {
    ComPtr<IGlobalOptions> options;
    if (SUCCEEDED(CoCreateInstance(CLSID_GlobalOptions, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalOptions,
                                   options.putVoid()))) {
        options->Set(COMGLB_EXCEPTION_HANDLING, COMGLB_EXCEPTION_DONOT_HANDLE_ANY);
    }
}

void noteGameDisplayMode(const DEVMODEW& mode) {
    state->modeWidth = mode.dmPelsWidth;
    state->modeHeight = mode.dmPelsHeight;
    state->modeBits = mode.dmBitsPerPel;
    InterlockedExchange(&state->gameModeInForce, 1);
}

void noteDisplayModeGivenBack() {
    InterlockedExchange(&state->gameModeInForce, 0);
}

bool isCrashWatcherCommandLine(const char* arguments) {
    const size_t length = std::strlen(watcherArgument);
    return arguments && std::strncmp(arguments, watcherArgument, length) == 0 &&
           (arguments[length] == ' ' || arguments[length] == '\0');
}

int runCrashWatcher(const char* arguments, const CrashDumpNames& names, bool writeDumps,
                    const CrashReportSettings& reports) {
    WatchedGame game;
    if (!game.open(arguments)) {
        return ERROR_BAD_ARGUMENTS;
    }
    game.watch(names, writeDumps, reports);
    return 0;
}
