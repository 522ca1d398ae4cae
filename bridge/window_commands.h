#pragma once
// What the movie may do with the host's window.

#include <string>

// The caption becomes `caption`, character for character.
void setCaption(const std::wstring& caption);
// Tells the window procedure the window is closing; the loop then ends.
void quitGame();
// Treated exactly like a loss of activation: the game is suspended.
void minimizeGame();
