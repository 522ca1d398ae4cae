#pragma once
// The minidump a crash leaves for the studio, written from outside the
// crashed process: by the crash watcher, with a handle of the game's process.

#include <windows.h>

#include <string>

// The names a dump is filed under, as in the program's version resource.
struct CrashDumpNames {
    const wchar_t* company;
    const wchar_t* product;
    const wchar_t* version;
};

// Writes dumps of one process to
// %LOCALAPPDATA%\COMPANY\PRODUCT\CrashDumps\PRODUCT-VERSION-UTCDATE-UTCTIME-PID.dmp,
// keeping the newest 10. Wine's dbghelp, asked for a dump of a process it
// does not know yet, first spends seconds loading the symbols of every module
// of it: the writer makes the process known to it first, without them.
class CrashDumpWriter {
  public:
    // `process` needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ.
    CrashDumpWriter(const CrashDumpNames& names, HANDLE process);
    CrashDumpWriter(const CrashDumpWriter&) = delete;
    CrashDumpWriter& operator=(const CrashDumpWriter&) = delete;
    ~CrashDumpWriter();

    // The dump of the crash on `thread`, whose EXCEPTION_POINTERS lie at
    // `exceptionPointers` in the process; the dump's path, or empty when
    // none could be written (no dbghelp, no folder, a full disk).
    std::wstring write(DWORD thread, ULONG_PTR exceptionPointers) const;

  private:
    HANDLE process_;
    bool symbols_ = false;
    std::wstring folder_;
    size_t appDataLength_ = 0;
    std::wstring namePrefix_;
};

// The folder of the dumps filed under `names`; empty without %LOCALAPPDATA%.
std::wstring crashDumpFolder(const CrashDumpNames& names);

// The part of a dump's name that text holds: characters a file name cannot
// hold become '_', and so do trailing dots and blanks.
std::wstring fileNamePart(const std::wstring& text);
