#pragma once
// The program's run: one copy at a time, the player control in the main
// window, the game fullscreen, the message loop, and the display given back.

#include <windows.h>

// True while the message loop is to run.
extern bool isRunning;

// The exit code: 0 when another copy runs, -1 when the player is missing or
// unusable, 1 after a game.
int runGame(HINSTANCE instance);
