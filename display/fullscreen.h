#pragma once
// The game shown fullscreen, at its own resolution on a borderless topmost
// window, or in a framed window on the desktop. Display changes are dynamic
// only: the desktop's stored mode is never touched.

#include <cstdint>

// The game's colour depth, in fullscreen and in the modes it asks about.
constexpr int32_t gameBitsPerPixel = 32;

extern int32_t gameWidth;
extern int32_t gameHeight;

// Redraws the whole desktop, after the game's window left it.
void repaintDesktop();
// The window framed at (0, 0), its outer size made from the game size.
void placeFramedWindow();
// The desktop's own mode back, and the window borderless.
void restoreDisplayMode();
// Windowed, the window moves to (0, 0) at exactly this outer size; fullscreen,
// the size waits for the next enterFullscreen.
void setGameSize(int32_t width, int32_t height);
// Shows a message and answers false when the display refuses the mode.
bool enterFullscreen();
bool switchToFullscreen();
void switchToWindowed();
