#pragma once
// Crash reports sent to the studio, only with the player's consent. After a
// crash the watcher asks the player, or follows the answer the player chose
// to keep, then posts the dump to the studio's address in the form Breakpad's
// and Crashpad's clients use. A report that could not be sent waits beside
// its dump; the watcher of a later start sends it in the background, three
// tries in all.

#include "base/crash_dump.h"

#include <windows.h>

#include <string>

struct CrashReportSettings {
    // The studio's https address, or http to this machine; empty: no report
    // is ever sent and the player is never asked.
    const wchar_t* address;
    CrashDumpNames names;
    // The program file's manifest resource that asks for version 6 of the
    // common controls: the question is their task dialog.
    WORD commonControlsManifest;
};

// After a crash whose dump is the file `dump`: asks the player unless an
// answer is kept, then sends the report if allowed, within 30 s.
void reportCrash(const CrashReportSettings& settings, const std::wstring& dump);

// Sends the reports that earlier crashes left waiting in `dumpFolder`,
// without asking (the player agreed then), within 30 s in all.
void sendWaitingReports(const CrashReportSettings& settings, const std::wstring& dumpFolder);

// Forgets the waiting report of a dump that is deleted.
void forgetCrashReport(const std::wstring& dump);
