#include "bridge/window_commands.h"

#include "host/startup.h"

void setCaption(const std::wstring& caption) { SetWindowTextW(mainWindow, caption.c_str()); }

// Sent, not posted: the movie hears windowClose before its own call returns.
void quitGame() { SendMessageW(mainWindow, WM_DESTROY, 0, 0); }

void minimizeGame() { SendMessageW(mainWindow, WM_ACTIVATEAPP, FALSE, 0); }
