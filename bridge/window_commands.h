#pragma once
// What the movie may do with the host's window, and the two small
// application services: a message box and the command line.

#include <string>
#include <vector>

// The caption becomes `caption`, character for character.
void setCaption(const std::wstring& caption);
// Ends the game: the first request tells the running movie with `notice`
// (windowClose in the form of its way out) before its own call returns; any
// later one, such as a quit or close from inside the movie's windowClose,
// only ends the loop. Shutdown then closes the player, once every call of
// the player's has returned. Before the loop runs no movie plays yet:
// start-up ends instead, telling the movie first once it is loaded.
void endGame(const wchar_t* notice);
// endGame with the windowClose of the quit command and of a close of the window.
void quitGame();
// Treated exactly like a loss of activation: the game is suspended.
void minimizeGame();

// A modal box with `text`, an empty caption and OK, above the game.
void showMessage(const std::wstring& text);
// The program's command-line arguments after its own path, split by the
// Windows rules; none when the line cannot be split.
std::vector<std::wstring> commandLineArguments();
