#include "base/crash_dump.h"

#include "base/crash_upload.h"
#include "base/system_library.h"

#include <dbghelp.h>

#include <cwchar>
#include <iterator>

namespace {

using MiniDumpWriteDumpFunction = decltype(&MiniDumpWriteDump);
using SymInitializeFunction = decltype(&SymInitializeW);
using SymCleanupFunction = decltype(&SymCleanup);

constexpr size_t dumpsKept = 10;
// How long the writer waits for the display, the crashed thread for the
// display and the dump, and how long after the crash the process may live
// at most. Writing a dump of a small process takes well under a second
// (two through the i386 emulator).
constexpr DWORD displayBound = 2000;
constexpr DWORD handlingBound = 7000;
constexpr DWORD lifeBound = 10000;

constexpr MINIDUMP_TYPE smallDump =
    static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithUnloadedModules | MiniDumpWithProcessThreadData);

// Owned by the filter and the handler's threads; set once before the
// filter is installed.
CrashHandler* activeHandler = nullptr;
MiniDumpWriteDumpFunction writeMiniDump = nullptr;
SymInitializeFunction initializeSymbols = nullptr;
SymCleanupFunction cleanUpSymbols = nullptr;
// The first crash; later ones (another thread, or one of ours) only wait.
LONG crashClaimed = 0;
DWORD crashedThread = 0;
EXCEPTION_POINTERS* crashPointers = nullptr;
DWORD crashCode = 0;
HANDLE crashedEvent = nullptr;
HANDLE handledEvent = nullptr;

// Runs on the crashed thread, maybe with a few kilobytes of stack left: it
// only hands the crash over and waits.
LONG WINAPI handOverCrash(EXCEPTION_POINTERS* pointers) {
    if (InterlockedCompareExchange(&crashClaimed, 1, 0) == 0) {
        crashedThread = GetCurrentThreadId();
        crashPointers = pointers;
        crashCode = pointers->ExceptionRecord->ExceptionCode;
        SetEvent(crashedEvent);
    }
    WaitForSingleObject(handledEvent, handlingBound);
    return EXCEPTION_CONTINUE_SEARCH;
}

bool isDumpName(const wchar_t* name) {
    const size_t length = std::wcslen(name);
    return length > 4 && _wcsicmp(name + length - 4, L".dmp") == 0;
}

// Deletes the oldest dumps beyond those kept. Runs after a crash, so it
// needs no heap: one pass per dump too many.
void pruneDumps(const wchar_t* folder) {
    wchar_t pattern[MAX_PATH];
    std::swprintf(pattern, std::size(pattern), L"%ls\\*.dmp", folder);
    for (;;) {
        WIN32_FIND_DATAW found;
        const UniqueFind search(FindFirstFileW(pattern, &found));
        if (!search) {
            return;
        }
        size_t count = 0;
        WIN32_FIND_DATAW oldest = {};
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !isDumpName(found.cFileName)) {
                continue;
            }
            if (count++ == 0 || CompareFileTime(&found.ftLastWriteTime, &oldest.ftLastWriteTime) < 0) {
                oldest = found;
            }
        } while (FindNextFileW(search.get(), &found));
        if (count <= dumpsKept) {
            return;
        }
        wchar_t path[MAX_PATH];
        std::swprintf(path, std::size(path), L"%ls\\%ls", folder, oldest.cFileName);
        if (!DeleteFileW(path)) {
            return;
        }
        forgetCrashReport(path);
    }
}

// What an earlier crash could not finish.
void deletePartialDumps(const wchar_t* folder) {
    wchar_t pattern[MAX_PATH];
    std::swprintf(pattern, std::size(pattern), L"%ls\\*.dmp.partial", folder);
    WIN32_FIND_DATAW found;
    const UniqueFind search(FindFirstFileW(pattern, &found));
    if (!search) {
        return;
    }
    do {
        wchar_t path[MAX_PATH];
        std::swprintf(path, std::size(path), L"%ls\\%ls", folder, found.cFileName);
        DeleteFileW(path);
    } while (FindNextFileW(search.get(), &found));
}

bool writeDumpFile(HANDLE file) {
    MINIDUMP_EXCEPTION_INFORMATION exception = {crashedThread, crashPointers, FALSE};
    const HANDLE process = GetCurrentProcess();
    const DWORD processId = GetCurrentProcessId();
    if (writeMiniDump(process, processId, file, smallDump, &exception, nullptr, nullptr)) {
        return true;
    }
    // An older dbghelp refuses flags it does not know.
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    return writeMiniDump(process, processId, file, MiniDumpNormal, &exception, nullptr, nullptr);
}

// Every folder on the way, from the one under `parent` (which exists) down.
bool makeFolders(const std::wstring& folder, size_t parentLength) {
    for (size_t separator = folder.find(L'\\', parentLength + 1); separator != std::wstring::npos;
         separator = folder.find(L'\\', separator + 1)) {
        CreateDirectoryW(folder.substr(0, separator).c_str(), nullptr);
    }
    return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::wstring localAppData() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

} // namespace

std::wstring fileNamePart(const std::wstring& text) {
    std::wstring part = text;
    for (wchar_t& character : part) {
        if (character < L' ' || std::wcschr(L"<>:\"/\\|?*", character)) {
            character = L'_';
        }
    }
    for (auto last = part.rbegin(); last != part.rend() && (*last == L'.' || *last == L' '); ++last) {
        *last = L'_';
    }
    return part;
}

CrashHandler::CrashHandler(const CrashDumpNames& names, bool writeDumps, void (*giveDisplayBack)())
    : giveDisplayBack_(giveDisplayBack), crashed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      written_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      handled_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      displayBack_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), gameThread_.put(),
                    SYNCHRONIZE, FALSE, 0);
    if (activeHandler || !crashed_ || !written_ || !handled_ || !displayBack_ || !stop_ || !gameThread_) {
        return;
    }
    const std::wstring appData = localAppData();
    if (writeDumps && !appData.empty()) {
        // Never loaded inside the filter: the loader's lock may be held by
        // the crashed thread.
        const HMODULE dbghelp = loadSystemLibrary(L"dbghelp.dll");
        writeMiniDump = procedure<MiniDumpWriteDumpFunction>(dbghelp, "MiniDumpWriteDump");
        initializeSymbols = procedure<SymInitializeFunction>(dbghelp, "SymInitializeW");
        cleanUpSymbols = procedure<SymCleanupFunction>(dbghelp, "SymCleanup");
        appDataLength_ = appData.size();
        folder_ = appData + L"\\" + fileNamePart(names.company) + L"\\" + fileNamePart(names.product) +
                  L"\\CrashDumps";
        namePrefix_ = fileNamePart(std::wstring(names.product) + L"-" + names.version);
    }
    activeHandler = this;
    crashedEvent = crashed_.get();
    handledEvent = handled_.get();
    if (writeMiniDump) {
        writer_ = std::thread([this] { writeDump(); });
    } else {
        SetEvent(written_.get());
    }
    watchdog_ = std::thread([this] { watch(); });
    SetUnhandledExceptionFilter(handOverCrash);
}

CrashHandler::~CrashHandler() {
    if (activeHandler != this) {
        return;
    }
    SetUnhandledExceptionFilter(nullptr);
    SetEvent(stop_.get());
    if (writer_.joinable()) {
        writer_.join();
    }
    watchdog_.join();
    activeHandler = nullptr;
    writeMiniDump = nullptr;
    initializeSymbols = nullptr;
    cleanUpSymbols = nullptr;
}

void CrashHandler::writeDump() {
    // Wine's dbghelp, asked for a dump of a process it does not know yet,
    // first loads the symbols of every module, its own Unix libraries
    // included: seconds of work that are better done now, in the background,
    // without them.
    const bool symbols =
        initializeSymbols && cleanUpSymbols && initializeSymbols(GetCurrentProcess(), nullptr, FALSE);
    const HANDLE events[] = {crashed_.get(), stop_.get()};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        if (symbols) {
            cleanUpSymbols(GetCurrentProcess());
        }
        return;
    }
    WaitForSingleObject(displayBack_.get(), displayBound);
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t path[MAX_PATH];
    const int length = std::swprintf(path, std::size(path), L"%ls\\%ls-%04u%02u%02u-%02u%02u%02u-%lu.dmp",
                                     folder_.c_str(), namePrefix_.c_str(), now.wYear, now.wMonth, now.wDay,
                                     now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId());
    // Written under another name first: a full disk, or a process ended in
    // the middle of the write, leaves no .dmp that cannot be read.
    wchar_t partial[MAX_PATH];
    const int partialLength = std::swprintf(partial, std::size(partial), L"%ls.partial", path);
    if (length > 0 && partialLength > 0 && makeFolders(folder_, appDataLength_)) {
        deletePartialDumps(folder_.c_str());
        UniqueFile file(CreateFileW(partial, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        const bool written = file && writeDumpFile(file.get());
        file.reset();
        if (written && MoveFileExW(partial, path, 0)) {
            pruneDumps(folder_.c_str());
        } else {
            DeleteFileW(partial);
        }
    }
    SetEvent(written_.get());
}

void CrashHandler::watch() {
    const HANDLE events[] = {crashed_.get(), stop_.get(), gameThread_.get()};
    const DWORD woken = WaitForMultipleObjects(3, events, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) {
        return;
    }
    if (woken == WAIT_OBJECT_0 + 2) {
        // The game's thread was taken down without the process and without
        // a filter run (a stack overflow too deep to report): there is no
        // crash to write about, only a process to end.
        DWORD code = 0;
        GetExitCodeThread(gameThread_.get(), &code);
        if (giveDisplayBack_) {
            giveDisplayBack_();
        }
        TerminateProcess(GetCurrentProcess(), code);
        return;
    }
    // The display first, before the dump is written: while it writes, the
    // writer suspends the process's other threads, this one included. Wine's
    // suspends them one at a time, so that there this thread still ends a
    // write that never ends; Windows' suspends them all for the whole write.
    if (giveDisplayBack_) {
        giveDisplayBack_();
    }
    SetEvent(displayBack_.get());
    WaitForSingleObject(written_.get(), handlingBound);
    SetEvent(handled_.get());
    // The crash now goes on as the system handles it, which should end the
    // process; a thread stuck in the system's handling must not keep it alive.
    if (WaitForSingleObject(stop_.get(), lifeBound - handlingBound) == WAIT_TIMEOUT) {
        TerminateProcess(GetCurrentProcess(), crashCode);
    }
}
