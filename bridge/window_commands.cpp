#include "bridge/window_commands.h"

#include "base/handles.h"
#include "base/system_library.h"
#include "base/program.h"
#include "bridge/codec.h"
#include "bridge/flash_control.h"

#include <shellapi.h>

#include <utility>

void setCaption(const std::wstring& caption) {
    SetWindowTextW(mainWindow, caption.c_str());
}

// The hosting closes the player when the window gets WM_DESTROY, before the
// window procedure sees it, and a player tears its movie down then; so the
// window stays until shutdown. A movie's windowClose handler may well quit
// itself: marked before the call, that request finds the game ending.
void endGame(const wchar_t* notice) {
    const bool first = !std::exchange(isEnding, true);
    if (first && isRunning) {
        callMovie(notice);
    }
    isRunning = false;
}

void quitGame() {
    endGame(windowCloseRequest);
}

void minimizeGame() {
    SendMessageW(mainWindow, WM_ACTIVATEAPP, FALSE, 0);
}

// The fullscreen game window is topmost: a box of the usual band would open
// behind it, and the game would seem frozen while the box waits unseen.
// MB_SYSTEMMODAL adds WS_EX_TOPMOST to an application-modal box on Windows,
// as MB_TOPMOST does; Wine 8 honours only the former.
void showMessage(const std::wstring& text) {
    MessageBoxW(boxOwner(), text.c_str(), L"", MB_OK | MB_TOPMOST | MB_SYSTEMMODAL | MB_SETFOREGROUND);
}

std::vector<std::wstring> commandLineArguments() {
    int count = 0;
    const auto splitCommandLine =
        procedure<decltype(&CommandLineToArgvW)>(loadSystemLibrary(L"shell32.dll"), "CommandLineToArgvW");
    wchar_t** split = splitCommandLine ? splitCommandLine(GetCommandLineW(), &count) : nullptr;
    const UniqueLocal owner(split);
    std::vector<std::wstring> arguments;
    for (int i = 1; split && i < count; ++i) {
        arguments.emplace_back(split[i]);
    }
    return arguments;
}
