#include "host/startup.h"

#include "bridge/codec.h"
#include "bridge/event_sink.h"
#include "bridge/flash_control.h"
#include "display/display_modes.h"
#include "display/fullscreen.h"
#include "base/handles.h"
#include "host/notice.h"
#include "base/program.h"
#include "base/system_library.h"
#include "host/window_procedure.h"

#include <ocidl.h>

#include <comdef.h>

namespace {

constexpr wchar_t mutexName[] = L"KESTA1.0";
constexpr wchar_t windowClassName[] = L"AtlWin";
constexpr WORD iconResource = 128;
constexpr uint32_t lowestMajorVersion = 10;

using AtlAxWinInitFunction = BOOL(WINAPI*)();
using AtlAxAttachControlFunction = HRESULT(WINAPI*)(IUnknown*, HWND, IUnknown**);
using DllGetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// Another copy runs when the name exists, when it came into being between the
// test and the creation, or when it belongs to another session or user that
// we may not open.
bool claimSingleInstance(UniqueHandle& mutex) {
    UniqueHandle existing(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, mutexName));
    if (existing || GetLastError() == ERROR_ACCESS_DENIED) {
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    mutex.reset(CreateMutexW(nullptr, FALSE, mutexName));
    const DWORD error = GetLastError();
    return error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED;
}

// Lets the control go on whatever path start-up or the game ends, while its
// apartment is still open: a release after CoUninitialize, at process exit,
// could call into a player library that is gone.
struct ControlRelease {
    ControlRelease() = default;
    ControlRelease(const ControlRelease&) = delete;
    ControlRelease& operator=(const ControlRelease&) = delete;
    ~ControlRelease() { flashControl.reset(); }
};

// `path` loaded as a library, or null. Its own dependencies are looked for
// beside it. A file that is no image for this program fails quietly, without
// the box Windows may show for a damaged one.
UniqueModule loadPlayerFile(const std::wstring& path) {
    DWORD errorMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS, &errorMode);
    UniqueModule player(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    SetThreadErrorMode(errorMode, nullptr);
    return player;
}

// Creates the control into flashControl from the player file at `path`, the
// copy the studio tested, without any registration.
bool createShippedControl(const std::wstring& path) {
    UniqueModule player = loadPlayerFile(path);
    const auto getClassObject = procedure<DllGetClassObjectFunction>(player.get(), "DllGetClassObject");
    if (!getClassObject) {
        return false;
    }
    ComPtr<IClassFactory> factory;
    if (FAILED(getClassObject(CLSID_ShockwaveFlash, IID_IClassFactory, factory.putVoid()))) {
        // What a failed call left there is no reference of ours.
        factory.detach();
        return false;
    }
    if (!factory || FAILED(factory->CreateInstance(nullptr, IID_IShockwaveFlash, flashControl.putVoid()))) {
        flashControl.detach();
        return false;
    }
    // Kept loaded until the process ends: COM did not load it, so nothing
    // else would free it, and freeing it under the control or its window
    // would crash.
    player.release();
    return true;
}

// Creates the control into flashControl from the registered player.
bool createRegisteredControl() {
    if (FAILED(CoCreateInstance(CLSID_ShockwaveFlash, nullptr, CLSCTX_ALL, IID_IShockwaveFlash,
                                flashControl.putVoid()))) {
        // What a failed creation left there is no reference of ours.
        flashControl.detach();
        return false;
    }
    return true;
}

// Creates the control into flashControl, the shipped player before the
// registered one, and connects the sink to its events.
bool createControl(FlashEventListener& sink, const std::wstring& shippedPlayer) {
    if (!createShippedControl(shippedPlayer) && !createRegisteredControl()) {
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
// user. Nothing may reach the control once it is let go: the sink forgets it,
// and the window that hosts it goes first, so that the hosting closes the
// control and drops its own reference before ours goes. On Windows the last
// CoUninitialize unloads the player's code; it comes after the notice, whose
// download page may need COM.
int refusePlayer(FlashEventListener& sink, ComApartment& com, const StudioSettings& settings) {
    sink.setControl(nullptr);
    // Out of callMovie's reach while the window's WM_DESTROY runs.
    ComPtr<IShockwaveFlash> control = std::move(flashControl);
    restoreDisplayMode();
    if (mainWindow) {
        DestroyWindow(std::exchange(mainWindow, nullptr));
    }
    control.reset();
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
            callMovie(queuedWindowCloseRequest);
            // Activation changes during shutdown must not act any more.
            isRunning = false;
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void shutDown(ComApartment& com) {
    flashControl.reset();
    restoreDisplayMode();
    ShowWindow(mainWindow, SW_HIDE);
    repaintDesktop();
    com.uninitialize();
}

} // namespace

int runGame(HINSTANCE instance, const StudioSettings& settings) {
    fullscreenKind = settings.fullscreen;
    UniqueHandle mutex;
    if (!claimSingleInstance(mutex)) {
        return 0;
    }
    // Declared in the order of teardown, last first: the control goes before
    // the apartment closes, and the apartment before the sink, which the
    // control holds while it is connected. atl.dll is never freed: the main
    // window stays subclassed by it until the process ends.
    FlashEventListener sink;
    const HMODULE atl = loadSystemLibrary(L"atl.dll");
    const auto attachControl = procedure<AtlAxAttachControlFunction>(atl, "AtlAxAttachControl");
    const auto winInit = procedure<AtlAxWinInitFunction>(atl, "AtlAxWinInit");

    ComApartment com;
    const ControlRelease releaseControlLast;
    // Without the hosting library the game could not be shown at all.
    if (!attachControl || !winInit) {
        return refusePlayer(sink, com, settings);
    }
    winInit();
    if (!createControl(sink, programFolder() + L"\\" + settings.playerFile)) {
        return refusePlayer(sink, com, settings);
    }
    try {
        if (flashVersion(flashControl.get()) >> 16 < lowestMajorVersion) {
            return refusePlayer(sink, com, settings);
        }
        createMainWindow(instance);
        chooseGameSize();
        switchToWindowed();
        switchToFullscreen();

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
    runMessageLoop();
    isRunning = false;
    shutDown(com);
    return 1;
}
