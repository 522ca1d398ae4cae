#pragma once
// The program's run: one copy at a time, the player control in the main
// window, the game fullscreen, the message loop, and the display given back.

#include "base/program.h"

#include <windows.h>

// What a studio fixes when it builds the program.
struct StudioSettings {
    // The player control's file name in the program folder; that copy, when
    // there is one, serves before a registered player.
    const wchar_t* playerFile;
    // The page the notice opens when no usable player is found.
    const wchar_t* downloadAddress;
    // How fullscreen fills the screen.
    FullscreenKind fullscreen;
    // The single-instance mutex's name: another copy of a program built with
    // the same name ends at once.
    const wchar_t* instanceName;
};

// The exit code: 0 when another copy runs, -1 when the player is missing or
// unusable, 1 after a game.
int runGame(HINSTANCE instance, const StudioSettings& settings);
