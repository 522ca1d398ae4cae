#pragma once
// The game shown fullscreen on a borderless topmost window, or in a framed
// window on the desktop. Fullscreen is either the display switched to the
// game's resolution, or a whole monitor at its own mode, as the studio chose
// (fullscreenKind). Display changes are dynamic only: the desktop's stored
// mode is never touched.

#include <windows.h>

#include <cstdint>
#include <vector>

// The game's colour depth, in fullscreen and in the modes it asks about.
constexpr int32_t gameBitsPerPixel = 32;

extern int32_t gameWidth;
extern int32_t gameHeight;

// Redraws the whole desktop, after the game's window left it.
void repaintDesktop();
// The window framed at the top-left corner of the primary monitor's work
// area, its client area the game size at that monitor's scale (96 DPI being
// one), fitted into the work area with the game's aspect kept.
void placeFramedWindow();
// The desktop's own mode back (where fullscreen changes it), and the window
// borderless.
void restoreDisplayMode();
// Windowed, the window moves to the top-left corner of the work area at
// exactly this outer size at the monitor's scale, fitted into the work area
// with its aspect kept; fullscreen, the size waits for the next
// enterFullscreen, whose modes are in pixels.
void setGameSize(int32_t width, int32_t height);
// Shows a message and answers false when the display refuses the mode.
bool enterFullscreen();
// After a change of the displays (resolution, orientation, a monitor added
// or removed, another program's mode change): a running fullscreen game at
// the desktop's mode covers the monitor holding it again, or the nearest one
// when that monitor is gone; with no monitor known at all, the window keeps
// its size. Nothing else: a switch to the game's own mode
// announces itself the same way.
void followDisplayChange();
// After the window's monitor changed its scale, or the window went to a
// monitor of another scale: windowed, the window takes the system's
// `suggested` rectangle; fullscreen, it covers its monitor, or the game's
// mode, again.
void followDpiChange(const RECT& suggested);
// While the game is suspended, only notes the wish: the resume enters
// fullscreen.
bool switchToFullscreen();
void switchToWindowed();

// The monitor, among `monitors`, that holds the centre of `window`; where
// none does (a window dragged off every screen), the one nearest to it. An
// empty rectangle when there is no monitor at all.
RECT monitorHolding(const RECT& window, const std::vector<RECT>& monitors);
