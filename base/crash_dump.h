#pragma once
// What happens when the game crashes: a minidump for the studio, the display
// given back, and an end of the process within a few seconds, whatever state
// the crashed thread left behind.

#include "base/handles.h"

#include <windows.h>

#include <string>
#include <thread>

// The names a dump is filed under, as in the program's version resource.
struct CrashDumpNames {
    const wchar_t* company;
    const wchar_t* product;
    const wchar_t* version;
};

// For its lifetime, an unhandled exception on any thread writes
// %LOCALAPPDATA%\COMPANY\PRODUCT\CrashDumps\PRODUCT-VERSION-UTCDATE-UTCTIME-PID.dmp
// (when `writeDumps`; the newest 10 are kept), then calls `giveDisplayBack`
// (when given), then lets the crash go on as the system handles it. The work
// is done by threads made here, never by the crashed one: its stack may be
// nearly used up or its heap damaged. One of them ends the process when the
// crash has not ended it a few seconds later, or when the thread that made
// this object ends without ending the process (a stack overflow the system
// could not even report).
class CrashHandler {
  public:
    CrashHandler(const CrashDumpNames& names, bool writeDumps, void (*giveDisplayBack)());
    CrashHandler(const CrashHandler&) = delete;
    CrashHandler& operator=(const CrashHandler&) = delete;
    ~CrashHandler();

  private:
    void writeDump();
    void watch();

    std::wstring folder_;
    size_t appDataLength_ = 0;
    std::wstring namePrefix_;
    void (*giveDisplayBack_)();
    UniqueHandle gameThread_;
    UniqueHandle crashed_;
    UniqueHandle written_;
    UniqueHandle handled_;
    UniqueHandle displayBack_;
    UniqueHandle stop_;
    std::thread writer_;
    std::thread watchdog_;
};

// The part of a dump's name that text holds: characters a file name cannot
// hold become '_', and so do trailing dots and blanks.
std::wstring fileNamePart(const std::wstring& text);
