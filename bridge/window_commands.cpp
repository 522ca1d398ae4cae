#include "bridge/window_commands.h"

#include "host/handles.h"
#include "host/startup.h"

#include <shellapi.h>

void setCaption(const std::wstring& caption) {
    SetWindowTextW(mainWindow, caption.c_str());
}

// Sent, not posted: the movie hears windowClose before its own call returns.
void quitGame() {
    SendMessageW(mainWindow, WM_DESTROY, 0, 0);
}

void minimizeGame() {
    SendMessageW(mainWindow, WM_ACTIVATEAPP, FALSE, 0);
}

void showMessage(const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), L"", MB_OK);
}

std::vector<std::wstring> commandLineArguments() {
    int count = 0;
    wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
    const UniqueLocal owner(split);
    std::vector<std::wstring> arguments;
    for (int i = 1; split && i < count; ++i) {
        arguments.emplace_back(split[i]);
    }
    return arguments;
}
