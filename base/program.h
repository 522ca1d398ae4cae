#pragma once
// The running program's shared state: its one window, its folder, and the
// flags that the window procedure, the commands and the display code all
// read. Each flag has one writer, named beside it; the others only read.

#include "base/handles.h"

#include <windows.h>

#include <string>

// The one top-level window, of the class "AtlWin". Set by start-up.
extern HWND mainWindow;

// True while the message loop is to run. Start-up sets it around the loop;
// the quit command or a close of the window clears it.
extern bool isRunning;

// Set by the window commands once the game is to end, whichever way came
// first: the quit command, a close of the window, a close taken from the
// queue, or one during start-up. Never cleared: the movie hears windowClose
// once per game.
extern bool isEnding;

// The mode the host is meant to be in, set by the display code's switches.
// It stays set while a fullscreen game is suspended, so that a resume goes
// back to fullscreen.
extern bool isFullscreen;

// True while the game is suspended after a loss of activation. The window
// procedure suspends and resumes; leaving fullscreen also ends a suspension.
extern bool isSuspended;

// The owner for the program's message boxes: the main window while the game
// is on screen, so that the box stays above the topmost game, a click on the
// game cannot raise it over the box, and the activation goes back to the game
// when the box closes. None while the game is suspended or its window hidden
// or minimised: an owned box would be hidden with its owner, and closing it
// would activate the window and resume the game behind the player's back.
HWND boxOwner();

// How the game fills the screen, a studio's choice fixed when the program is
// built. Start-up sets it before the window exists; nothing changes it later.
enum class FullscreenKind {
    // The display switched to the game's resolution, on the primary display.
    gameMode,
    // The borderless window over a whole monitor at the monitor's own mode;
    // the display mode is never changed.
    desktopMode,
};
extern FullscreenKind fullscreenKind;

// The folder of the program file, without a trailing backslash.
std::wstring programFolder();

// An activation context made from the manifest resource `resource` of the
// program file; invalid when that fails. Carried, not written out at run
// time: the program folder may be read-only, and a manifest in another
// folder, pointed at this one, finds the player's class but not its type
// library under Wine.
UniqueActivationContext programManifestContext(WORD resource);
