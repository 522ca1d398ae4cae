#include "display/fullscreen.h"

#include "base/program.h"

#include <windows.h>

#include <cstdio>

int32_t gameWidth = 800;
int32_t gameHeight = 600;

namespace {

constexpr LONG windowedStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr LONG fullscreenStyle = static_cast<LONG>(WS_POPUP);
constexpr LONG restoredStyle = static_cast<LONG>(WS_POPUP | WS_SYSMENU);

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

} // namespace

void repaintDesktop() {
    RedrawWindow(GetDesktopWindow(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// The outer size is the game size grown by one frame width and the caption,
// as the windowed game has always been placed.
void placeFramedWindow() {
    SetWindowPos(mainWindow, HWND_NOTOPMOST, 0, 0, gameWidth + GetSystemMetrics(SM_CXFRAME),
                 gameHeight + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION),
                 SWP_FRAMECHANGED);
}

void restoreDisplayMode() {
    ChangeDisplaySettingsW(nullptr, 0);
    setStyle(restoredStyle);
}

void setGameSize(int32_t width, int32_t height) {
    gameWidth = width;
    gameHeight = height;
    if (!isFullscreen) {
        SetWindowPos(mainWindow, HWND_NOTOPMOST, 0, 0, width, height, SWP_FRAMECHANGED);
    }
}

bool enterFullscreen() {
    setStyle(fullscreenStyle);
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
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
        showModeFailure(result);
        return false;
    }
    SetWindowPos(mainWindow, HWND_TOPMOST, 0, 0, gameWidth, gameHeight, SWP_SHOWWINDOW);
    return true;
}

bool switchToFullscreen() {
    isFullscreen = true;
    return enterFullscreen();
}

void switchToWindowed() {
    if (!isFullscreen) {
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
