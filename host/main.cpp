// The program's entry point: the game, or, started by the game with the
// watcher's arguments, the game's crash watcher.
#include "base/crash_watcher.h"
#include "base/exception_report.h"
#include "base/system_library.h"
#include "host/resource_ids.h"
#include "host/startup.h"
#include "studio_settings.h"
#include "version.h"

// Only the benchmark's program leaves the watcher out, to weigh its cost.
#ifndef GAMEHOST_CRASH_WATCHER
#define GAMEHOST_CRASH_WATCHER 1
#endif

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
constexpr CrashReportSettings crashReportSettings = {GAMEHOST_CRASH_REPORT_URL, crashDumpNames,
                                                     COMMON_CONTROLS_MANIFEST_RESOURCE};
constexpr bool startsCrashWatcher = GAMEHOST_CRASH_WATCHER;

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int) {
    restrictLibrarySearch();
    if (isCrashWatcherCommandLine(arguments)) {
        return runCrashWatcher(arguments, crashDumpNames, writesCrashDumps, crashReportSettings);
    }
    const CrashHandling crashHandling(startsCrashWatcher);
    try {
        return runGame(instance, studioSettings);
    } catch (...) {
        reportCaughtException(L"WinMain");
        // A crash must not leave the user's desktop at the game's resolution.
        if (changesDisplayMode) {
            ChangeDisplaySettingsW(nullptr, 0);
            noteDisplayModeGivenBack();
        }
        return -1;
    }
}
