// The program's entry point.
#include "base/exception_report.h"
#include "base/system_library.h"
#include "host/startup.h"
#include "studio_settings.h"

namespace {

// A crash must not leave the user's desktop at the game's resolution; the
// crash then goes on as usual.
LONG WINAPI restoreDisplayOnCrash(EXCEPTION_POINTERS*) {
    ChangeDisplaySettingsW(nullptr, 0);
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    SetUnhandledExceptionFilter(restoreDisplayOnCrash);
    restrictLibrarySearch();
    try {
        return runGame(instance, {GAMEHOST_PLAYER_FILE, GAMEHOST_DOWNLOAD_ADDRESS});
    } catch (...) {
        reportCaughtException(L"WinMain");
        ChangeDisplaySettingsW(nullptr, 0);
        return -1;
    }
}
