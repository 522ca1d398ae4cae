// The program's entry point.
#include "base/exception_report.h"
#include "base/system_library.h"
#include "host/startup.h"
#include "studio_settings.h"

namespace {

constexpr StudioSettings studioSettings = {GAMEHOST_PLAYER_FILE, GAMEHOST_DOWNLOAD_ADDRESS,
                                           GAMEHOST_FULLSCREEN, GAMEHOST_INSTANCE_NAME};
// Fullscreen at the desktop's mode leaves the display mode alone: there is
// nothing to give back, and a reset could undo another program's change.
constexpr bool changesDisplayMode = studioSettings.fullscreen == FullscreenKind::gameMode;

// A crash must not leave the user's desktop at the game's resolution; the
// crash then goes on as usual.
LONG WINAPI restoreDisplayOnCrash(EXCEPTION_POINTERS*) {
    ChangeDisplaySettingsW(nullptr, 0);
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (changesDisplayMode) {
        SetUnhandledExceptionFilter(restoreDisplayOnCrash);
    }
    restrictLibrarySearch();
    try {
        return runGame(instance, studioSettings);
    } catch (...) {
        reportCaughtException(L"WinMain");
        if (changesDisplayMode) {
            ChangeDisplaySettingsW(nullptr, 0);
        }
        return -1;
    }
}
