#pragma once
// The main window's procedure: tells the movie when the window closes or
// the session ends, follows the screen's scale, suspends the game when the
// program loses activation and resumes it when the window is activated
// again, and keeps the screen saver away.

#include <windows.h>

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
