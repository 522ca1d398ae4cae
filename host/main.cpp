// The program's entry point.
#include "base/crash_dump.h"
#include "base/exception_report.h"
#include "base/system_library.h"
#include "host/startup.h"
#include "studio_settings.h"
#include "version.h"

namespace {

constexpr StudioSettings studioSettings = {GAMEHOST_PLAYER_FILE, GAMEHOST_DOWNLOAD_ADDRESS,
                                           GAMEHOST_FULLSCREEN, GAMEHOST_INSTANCE_NAME};
// Fullscreen at the desktop's mode leaves the display mode alone: there is
// nothing to give back, and a reset could undo another program's change.
constexpr bool changesDisplayMode = studioSettings.fullscreen == FullscreenKind::gameMode;

// The dump's names are the version resource's.
constexpr CrashDumpNames crashDumpNames = {L"" GAMEHOST_COMPANY_TEXT, L"" GAMEHOST_PRODUCT_TEXT,
                                           L"" GAMEHOST_VERSION_TEXT};
constexpr bool writesCrashDumps = GAMEHOST_CRASH_DUMPS;

// A crash must not leave the user's desktop at the game's resolution.
void giveDisplayBack() {
    ChangeDisplaySettingsW(nullptr, 0);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const CrashHandler crashHandler(crashDumpNames, writesCrashDumps,
                                    changesDisplayMode ? giveDisplayBack : nullptr);
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
