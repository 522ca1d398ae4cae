#pragma once
// What the movie may do with the host's window, and the two small
// application services: a message box and the command line.

#include <string>
#include <vector>

// The caption becomes `caption`, character for character.
void setCaption(const std::wstring& caption);
// Tells the movie the window is closing and ends the loop; shutdown then
// closes the player.
void quitGame();
// Treated exactly like a loss of activation: the game is suspended.
void minimizeGame();

// A modal box with `text`, an empty caption and OK, above the game.
void showMessage(const std::wstring& text);
// The program's command-line arguments after its own path, split by the
// Windows rules; none when the line cannot be split.
std::vector<std::wstring> commandLineArguments();
