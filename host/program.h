#pragma once
// Plain values of the running program that the commands and the display
// code share: its one window and its folder.

#include <windows.h>

#include <string>

// The one top-level window, of the class "AtlWin".
extern HWND mainWindow;

// The folder of the program file, without a trailing backslash.
std::wstring programFolder();
