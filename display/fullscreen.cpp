#include "display/fullscreen.h"

#include "base/crash_watcher.h"
#include "base/exception_report.h"
#include "base/program.h"
#include "base/system_library.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

int32_t gameWidth = 800;
int32_t gameHeight = 600;

namespace {

constexpr LONG windowedStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr LONG fullscreenStyle = static_cast<LONG>(WS_POPUP);
constexpr LONG restoredStyle = static_cast<LONG>(WS_POPUP | WS_SYSMENU);

// Set while a fullscreen request made during a windowed game's suspension
// waits for the resume: the window is still the framed one.
bool fullscreenAwaitsResume = false;

void setStyle(LONG style) {
    SetWindowLongW(mainWindow, GWL_STYLE, style);
}

void showModeFailure(LONG result) {
    char text[128];
    std::snprintf(text, sizeof(text), "failed to set resolution to %d x %d.\nError:%ld",
                  static_cast<int>(gameWidth), static_cast<int>(gameHeight), static_cast<long>(result));
    // Above the topmost game window, which would otherwise hide it (both
    // flags and the owner, as for the movie's message box).
    MessageBoxA(boxOwner(), text, "", MB_OK | MB_TOPMOST | MB_SYSTEMMODAL | MB_SETFOREGROUND);
}

BOOL CALLBACK addMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM list) {
    try {
        MONITORINFO info = {};
        info.cbSize = sizeof(info);
        if (GetMonitorInfoW(monitor, &info)) {
            reinterpret_cast<std::vector<RECT>*>(list)->push_back(info.rcMonitor);
        }
        return TRUE;
    } catch (...) {
        reportCaughtException(L"addMonitor");
        return FALSE;
    }
}

std::vector<RECT> monitors() {
    std::vector<RECT> list;
    EnumDisplayMonitors(nullptr, nullptr, addMonitor, reinterpret_cast<LPARAM>(&list));
    return list;
}

// A window's placement is in workspace coordinates, which start at the work
// area of the monitor holding the rectangle (a taskbar at its top or left
// moves it), not at the primary monitor's.
POINT workspaceOrigin(const RECT& place) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromRect(&place, MONITOR_DEFAULTTONEAREST), &monitor);
    return {monitor.rcWork.left - monitor.rcMonitor.left, monitor.rcWork.top - monitor.rcMonitor.top};
}

WINDOWPLACEMENT windowPlacement() {
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof(placement);
    GetWindowPlacement(mainWindow, &placement);
    return placement;
}

// Where the window is when shown normally, in screen coordinates. A
// minimised window's own rectangle is its icon's; its placement keeps the
// normal one.
RECT normalPlace() {
    RECT place = {};
    if (!IsIconic(mainWindow)) {
        GetWindowRect(mainWindow, &place);
        return place;
    }
    place = windowPlacement().rcNormalPosition;
    const POINT origin = workspaceOrigin(place);
    OffsetRect(&place, origin.x, origin.y);
    return place;
}

// The window over `area`, topmost and shown. A minimised one is placed when
// the resume shows it normally, where its placement says: that must be
// `area` too, not the framed window it was minimised from.
void placeOnTop(const RECT& area) {
    if (IsIconic(mainWindow)) {
        const POINT origin = workspaceOrigin(area);
        WINDOWPLACEMENT placement = windowPlacement();
        placement.rcNormalPosition = area;
        OffsetRect(&placement.rcNormalPosition, -origin.x, -origin.y);
        placement.showCmd = SW_SHOWMINNOACTIVE;
        SetWindowPlacement(mainWindow, &placement);
    }
    SetWindowPos(mainWindow, HWND_TOPMOST, area.left, area.top, area.right - area.left,
                 area.bottom - area.top, SWP_SHOWWINDOW | SWP_FRAMECHANGED);
}

int64_t squared(int64_t value) {
    return value * value;
}

} // namespace

RECT monitorHolding(const RECT& window, const std::vector<RECT>& monitors) {
    const POINT centre = {window.left + (window.right - window.left) / 2,
                          window.top + (window.bottom - window.top) / 2};
    RECT nearest = {};
    int64_t nearestDistance = INT64_MAX;
    for (const RECT& monitor : monitors) {
        if (PtInRect(&monitor, centre)) {
            return monitor;
        }
        // Right and bottom lie outside a rectangle.
        const int64_t dx = (std::max)(
            {int64_t{monitor.left} - centre.x, int64_t{centre.x} - (monitor.right - 1), int64_t{0}});
        const int64_t dy = (std::max)(
            {int64_t{monitor.top} - centre.y, int64_t{centre.y} - (monitor.bottom - 1), int64_t{0}});
        const int64_t distance = squared(dx) + squared(dy);
        if (distance < nearestDistance) {
            nearestDistance = distance;
            nearest = monitor;
        }
    }
    return nearest;
}

void repaintDesktop() {
    RedrawWindow(GetDesktopWindow(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

namespace {

// The DPI of the monitor the window stands on; the system's where Windows
// knows no DPI per monitor (before Windows 10 1607).
UINT windowDpi() {
    using DpiForWindow = UINT(WINAPI*)(HWND);
    const auto dpiForWindow = procedure<DpiForWindow>(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    if (const UINT dpi = dpiForWindow ? dpiForWindow(mainWindow) : 0) {
        return dpi;
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

// What the frame and caption add to a client area at `dpi`. The frame is the
// system's to say: programs made for Vista and later get a wider, padded
// border there, and it grows with the monitor's scale.
SIZE frameSize(UINT dpi) {
    using AdjustForDpi = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    const auto adjustForDpi =
        procedure<AdjustForDpi>(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi");
    const auto exStyle = static_cast<DWORD>(GetWindowLongW(mainWindow, GWL_EXSTYLE));
    RECT outer = {};
    if (adjustForDpi) {
        adjustForDpi(&outer, windowedStyle, FALSE, exStyle, dpi);
    } else {
        AdjustWindowRectEx(&outer, windowedStyle, FALSE, exStyle);
    }
    return {outer.right - outer.left, outer.bottom - outer.top};
}

// The largest size of the aspect of `size` within `room`; `size` itself when
// it fits, or when it has no aspect to keep.
SIZE fitted(SIZE size, SIZE room) {
    if ((size.cx <= room.cx && size.cy <= room.cy) || size.cx <= 0 || size.cy <= 0 || room.cx <= 0 ||
        room.cy <= 0) {
        return size;
    }
    if (int64_t{room.cx} * size.cy <= int64_t{room.cy} * size.cx) {
        return {room.cx, MulDiv(size.cy, room.cx, size.cx)};
    }
    return {MulDiv(size.cx, room.cy, size.cy), room.cy};
}

// The framed window at the top-left corner of the primary monitor's work
// area, sized from the game size at that monitor's scale: the client area
// when `sizeIsClient`, else the whole window, fitted into the work area.
// Movie sizes are pixels at 96 DPI; a window at the screen's scale is the
// size a player expects, drawn sharp by the player, where the system's
// stretch of a program unaware of the scale would be blurred.
void placeFramed(bool sizeIsClient) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    const bool known = GetMonitorInfoW(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor) != FALSE;
    const RECT work = known ? monitor.rcWork : RECT{};
    // Standing there first, the window has that monitor's scale: it may come
    // from fullscreen on another one. Windows answers the move with
    // WM_DPICHANGED, whose size the next call replaces.
    SetWindowPos(mainWindow, HWND_NOTOPMOST, work.left, work.top, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    const UINT dpi = windowDpi();
    const SIZE game = {MulDiv(gameWidth, dpi, USER_DEFAULT_SCREEN_DPI),
                       MulDiv(gameHeight, dpi, USER_DEFAULT_SCREEN_DPI)};
    const SIZE room = {work.right - work.left, work.bottom - work.top};
    SIZE outer = fitted(game, room);
    if (sizeIsClient) {
        const SIZE frame = frameSize(dpi);
        const SIZE client = fitted(game, {room.cx - frame.cx, room.cy - frame.cy});
        outer = {client.cx + frame.cx, client.cy + frame.cy};
    }
    SetWindowPos(mainWindow, HWND_NOTOPMOST, work.left, work.top, outer.cx, outer.cy, SWP_FRAMECHANGED);
}

// The monitor holding `place`; where no monitor is known (a moment with no
// display attached), `place` itself: the window keeps its size.
RECT monitorOr(const RECT& place) {
    const RECT monitor = monitorHolding(place, monitors());
    return IsRectEmpty(&monitor) ? place : monitor;
}

} // namespace

void placeFramedWindow() {
    placeFramed(true);
}

void restoreDisplayMode() {
    if (fullscreenKind == FullscreenKind::gameMode) {
        ChangeDisplaySettingsW(nullptr, 0);
        noteDisplayModeGivenBack();
    }
    setStyle(restoredStyle);
}

void setGameSize(int32_t width, int32_t height) {
    gameWidth = width;
    gameHeight = height;
    if (!isFullscreen) {
        placeFramed(false);
    }
}

// Every SetWindowPos after a whole-style change asks for the frame to be
// worked out again: with the window's place and size unchanged, the client
// area would otherwise keep the old caption's and frame's room.
bool enterFullscreen() {
    fullscreenAwaitsResume = false;
    setStyle(fullscreenStyle);
    if (fullscreenKind == FullscreenKind::desktopMode) {
        // The whole monitor the game is on, at its own mode: nothing to
        // restore afterwards, on a suspend or a crash.
        placeOnTop(monitorOr(normalPlace()));
        return true;
    }
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    mode.dmBitsPerPel = gameBitsPerPixel;
    mode.dmPelsWidth = static_cast<DWORD>(gameWidth);
    mode.dmPelsHeight = static_cast<DWORD>(gameHeight);
    mode.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT;
    // Flags 0: a dynamic change, never stored as the desktop's mode.
    const LONG result = ChangeDisplaySettingsW(&mode, 0);
    if (result != DISP_CHANGE_SUCCESSFUL) {
        // The whole-style change hid the window. Shown again where it was
        // before the box opens, it takes the activation back when the box
        // closes; with no visible window left the program would be
        // deactivated and the game suspended, out of the player's reach.
        SetWindowPos(mainWindow, nullptr, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW |
                         SWP_FRAMECHANGED);
        showModeFailure(result);
        return false;
    }
    noteGameDisplayMode(mode);
    placeOnTop({0, 0, gameWidth, gameHeight});
    return true;
}

void followDisplayChange() {
    if (fullscreenKind != FullscreenKind::desktopMode || !isFullscreen || isSuspended) {
        return;
    }
    RECT place = {};
    GetWindowRect(mainWindow, &place);
    placeOnTop(monitorOr(place));
}

void followDpiChange(const RECT& suggested) {
    if (!isFullscreen) {
        SetWindowPos(mainWindow, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                     suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    // A suspended game's window is minimised; the resume places it.
    if (isSuspended) {
        return;
    }
    if (fullscreenKind == FullscreenKind::desktopMode) {
        RECT place = {};
        GetWindowRect(mainWindow, &place);
        placeOnTop(monitorOr(place));
    } else {
        placeOnTop({0, 0, gameWidth, gameHeight});
    }
}

bool switchToFullscreen() {
    // A suspended game is minimised or behind another program: a mode change
    // now would take the player's desktop under it. The resume enters
    // fullscreen, as it does after any suspension.
    if (isSuspended) {
        fullscreenAwaitsResume = fullscreenAwaitsResume || !isFullscreen;
        isFullscreen = true;
        return false;
    }
    isFullscreen = true;
    return enterFullscreen();
}

void switchToWindowed() {
    if (!isFullscreen) {
        return;
    }
    // Only the wish is taken back; the framed game stays suspended until the
    // player returns to it.
    if (fullscreenAwaitsResume) {
        fullscreenAwaitsResume = false;
        isFullscreen = false;
        return;
    }
    if (isSuspended) {
        // Cleared before the window shows: the activation that showing brings
        // must not resume the fullscreen game the movie is leaving.
        isSuspended = false;
        ShowWindow(mainWindow, SW_SHOWNORMAL);
        UpdateWindow(mainWindow);
    }
    isFullscreen = false;
    restoreDisplayMode();
    setStyle(windowedStyle);
    placeFramedWindow();
    ShowWindow(mainWindow, SW_SHOWNORMAL);
    repaintDesktop();
}
