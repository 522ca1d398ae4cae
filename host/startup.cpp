#include "host/startup.h"

#include "bridge/codec.h"
#include "bridge/event_sink.h"
#include "bridge/flash_control.h"
#include "bridge/window_commands.h"
#include "display/display_modes.h"
#include "display/fullscreen.h"
#include "base/crash_watcher.h"
#include "base/handles.h"
#include "host/notice.h"
#include "host/player_creation.h"
#include "base/program.h"
#include "base/system_library.h"
#include "host/window_procedure.h"

#include <ocidl.h>

#include <comdef.h>

namespace {

constexpr wchar_t windowClassName[] = L"AtlWin";
constexpr WORD iconResource = 128;
constexpr uint32_t lowestMajorVersion = 10;

using AtlAxWinInitFunction = BOOL(WINAPI*)();
using AtlAxAttachControlFunction = HRESULT(WINAPI*)(IUnknown*, HWND, IUnknown**);

// Another copy runs when the name exists, when it came into being between the
// test and the creation, or when it belongs to another session or user that
// we may not open.
bool claimSingleInstance(UniqueHandle& mutex, const wchar_t* mutexName) {
    UniqueHandle existing(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, mutexName));
    if (existing || GetLastError() == ERROR_ACCESS_DENIED) {
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    mutex.reset(CreateMutexW(nullptr, FALSE, mutexName));
    const DWORD error = GetLastError();
    return error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED;
}

// Closes the control and lets it go. On Windows the last CoUninitialize
// frees the libraries COM loaded, in use or not: a player still alive then
// would have its code unmapped under its own window, timers and threads. The
// hosting holds the control as long as the window exists; destroying the
// window makes it close the control and drop its references. The sink
// forgets the control first, and callMovie no longer reaches it while the
// window goes: the movie has heard windowClose, or never ran.
void closeControl(FlashEventListener& sink) {
    sink.setControl(nullptr);
    ComPtr<IShockwaveFlash> control = std::move(flashControl);
    // Nothing else destroys it: a close only asks the game to end.
    const HWND window = std::exchange(mainWindow, nullptr);
    if (window) {
        DestroyWindow(window);
    }
    control.reset();
}

// Closes the control on whatever path start-up or the game ends, while its
// apartment is still open.
class ControlClose {
  public:
    explicit ControlClose(FlashEventListener& sink) : sink_(sink) {}
    ControlClose(const ControlClose&) = delete;
    ControlClose& operator=(const ControlClose&) = delete;
    ~ControlClose() { closeControl(sink_); }

  private:
    FlashEventListener& sink_;
};

// Creates the control into flashControl, the shipped player before the
// registered one, and connects the sink to its events.
bool createControl(FlashEventListener& sink, PlayerCreation& player, const std::wstring& shippedPlayer) {
    if (!player.createControl(shippedPlayer)) {
        return false;
    }
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(flashControl->QueryInterface(IID_IConnectionPointContainer, container.putVoid()))) {
        return false;
    }
    ComPtr<IConnectionPoint> point;
    if (FAILED(container->FindConnectionPoint(DIID_IShockwaveFlashEvents, point.put()))) {
        return false;
    }
    DWORD cookie = 0;
    return SUCCEEDED(point->Advise(&sink, &cookie));
}

// The player cannot run the game: leave the desktop as it was and tell the
// user. The control is closed and let go before the notice, whose message
// loop would otherwise dispatch to its window; COM ends after the notice,
// whose download page may need it.
int refusePlayer(FlashEventListener& sink, ComApartment& com, const StudioSettings& settings) {
    restoreDisplayMode();
    closeControl(sink);
    showFlashPlayerNotice(settings.downloadAddress);
    com.uninitialize();
    return -1;
}

void createMainWindow(HINSTANCE instance) {
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(iconResource));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = windowClassName;
    RegisterClassW(&windowClass);

    mainWindow = CreateWindowExW(0, windowClassName, nullptr, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0,
                                 gameWidth, gameHeight, nullptr, nullptr, nullptr, nullptr);
    placeFramedWindow();
    SetWindowLongW(mainWindow, GWL_STYLE, static_cast<LONG>(WS_POPUP | WS_SYSMENU));
    ShowWindow(mainWindow, SW_SHOWNORMAL);
}

void chooseGameSize() {
    if (isModeSupported(1024, 768, gameBitsPerPixel)) {
        setGameSize(1024, 768);
    } else {
        setGameSize(800, 600);
    }
}

bool isRightClick(const MSG& message) {
    return message.message == WM_RBUTTONDOWN || (message.message == WM_KEYDOWN && message.wParam == VK_APPS);
}

void runMessageLoop() {
    MSG message;
    while (isRunning) {
        // WM_QUIT (0) does not end the game; only closing the window does.
        if (GetMessageW(&message, nullptr, 0, 0) <= 0) {
            continue;
        }
        if (isRightClick(message)) {
            callMovie(rightClickRequest);
            continue;
        }
        if (message.message == WM_DESTROY || message.message == WM_CLOSE) {
            endGame(queuedWindowCloseRequest);
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void shutDown(FlashEventListener& sink, ComApartment& com) {
    closeControl(sink);
    restoreDisplayMode();
    repaintDesktop();
    com.uninitialize();
}

} // namespace

int runGame(HINSTANCE instance, const StudioSettings& settings) {
    fullscreenKind = settings.fullscreen;
    UniqueHandle mutex;
    if (!claimSingleInstance(mutex, settings.instanceName)) {
        return 0;
    }
    startCrashWatcher();
    // Declared in the order of teardown, last first: the control goes before
    // the apartment closes, and the apartment before the sink, which the
    // control holds while it is connected. atl.dll is never freed: the main
    // window stays subclassed by it until the process ends. The shipped
    // player's activation context ends after everything of the player.
    PlayerCreation player;
    FlashEventListener sink;
    const HMODULE atl = loadSystemLibrary(L"atl.dll");
    const auto attachControl = procedure<AtlAxAttachControlFunction>(atl, "AtlAxAttachControl");
    const auto winInit = procedure<AtlAxWinInitFunction>(atl, "AtlAxWinInit");

    ComApartment com;
    if (com.initialized()) {
        keepComFromCatchingCrashes();
    }
    const ControlClose closeControlLast(sink);
    // Without the hosting library the game could not be shown at all.
    if (!attachControl || !winInit) {
        return refusePlayer(sink, com, settings);
    }
    winInit();
    const bool created = createControl(sink, player, programFolder() + L"\\" + settings.playerFile);
    // A player may set a filter of its own when it is created.
    keepCrashFilter();
    if (!created) {
        return refusePlayer(sink, com, settings);
    }
    try {
        if (flashVersion(flashControl.get()) >> 16 < lowestMajorVersion) {
            return refusePlayer(sink, com, settings);
        }
        createMainWindow(instance);
        chooseGameSize();
        awaitCrashWatcher();
        switchToWindowed();
        switchToFullscreen();
        // Closed while the box of a refused mode was open: the game ends
        // before its movie is loaded, and never runs without its window.
        if (isEnding) {
            shutDown(sink, com);
            return 1;
        }

        // Wine's atl.dll attaches only when given the out-pointer; the site
        // keeps the container alive, so it is let go at once.
        ComPtr<IUnknown> container;
        attachControl(flashControl.get(), mainWindow, container.put());
        container.reset();
        sink.setControl(flashControl.get());

        disableLocalSecurity(flashControl.get());
        putMovie(flashControl.get(), programFolder() + L"\\game.swf");
        putMenu(flashControl.get(), false);
    } catch (const _com_error&) {
        return refusePlayer(sink, com, settings);
    }

    isRunning = true;
    // A close taken while the player ran messages, in its attach or its
    // movie's load, came before any movie ran to hear it. The movie is
    // loaded now: it hears it, once, and the game ends without a loop.
    if (isEnding) {
        callMovie(windowCloseRequest);
        isRunning = false;
    }
    runMessageLoop();
    isRunning = false;
    shutDown(sink, com);
    return 1;
}
