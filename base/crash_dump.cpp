#include "base/crash_dump.h"

#include "base/crash_upload.h"
#include "base/handles.h"
#include "base/system_library.h"

#include <dbghelp.h>

#include <cwchar>
#include <iterator>

namespace {

using MiniDumpWriteDumpFunction = decltype(&MiniDumpWriteDump);
using SymInitializeFunction = decltype(&SymInitializeW);
using SymCleanupFunction = decltype(&SymCleanup);

constexpr size_t dumpsKept = 10;

constexpr MINIDUMP_TYPE smallDump =
    static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithUnloadedModules | MiniDumpWithProcessThreadData);

// dbghelp's functions, loaded by the first writer.
MiniDumpWriteDumpFunction writeMiniDump = nullptr;
SymInitializeFunction initializeSymbols = nullptr;
SymCleanupFunction cleanUpSymbols = nullptr;

bool isDumpName(const wchar_t* name) {
    const size_t length = std::wcslen(name);
    return length > 4 && _wcsicmp(name + length - 4, L".dmp") == 0;
}

// Deletes the oldest dumps beyond those kept, one pass per dump too many.
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

bool writeDumpFile(HANDLE file, HANDLE process, MINIDUMP_EXCEPTION_INFORMATION& exception) {
    const DWORD processId = GetProcessId(process);
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

std::wstring crashDumpFolder(const CrashDumpNames& names) {
    const std::wstring appData = localAppData();
    if (appData.empty()) {
        return appData;
    }
    return appData + L"\\" + fileNamePart(names.company) + L"\\" + fileNamePart(names.product) +
           L"\\CrashDumps";
}

CrashDumpWriter::CrashDumpWriter(const CrashDumpNames& names, HANDLE process) : process_(process) {
    const std::wstring appData = localAppData();
    if (appData.empty()) {
        return;
    }
    const HMODULE dbghelp = loadSystemLibrary(L"dbghelp.dll");
    writeMiniDump = procedure<MiniDumpWriteDumpFunction>(dbghelp, "MiniDumpWriteDump");
    initializeSymbols = procedure<SymInitializeFunction>(dbghelp, "SymInitializeW");
    cleanUpSymbols = procedure<SymCleanupFunction>(dbghelp, "SymCleanup");
    symbols_ = initializeSymbols && cleanUpSymbols && initializeSymbols(process_, nullptr, FALSE);
    appDataLength_ = appData.size();
    folder_ = crashDumpFolder(names);
    namePrefix_ = fileNamePart(std::wstring(names.product) + L"-" + names.version);
}

CrashDumpWriter::~CrashDumpWriter() {
    if (symbols_) {
        cleanUpSymbols(process_);
    }
}

std::wstring CrashDumpWriter::write(DWORD thread, ULONG_PTR exceptionPointers) const {
    if (!writeMiniDump || folder_.empty()) {
        return {};
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t path[MAX_PATH];
    const int length = std::swprintf(path, std::size(path), L"%ls\\%ls-%04u%02u%02u-%02u%02u%02u-%lu.dmp",
                                     folder_.c_str(), namePrefix_.c_str(), now.wYear, now.wMonth, now.wDay,
                                     now.wHour, now.wMinute, now.wSecond, GetProcessId(process_));
    // Written under another name first: a full disk, or a watcher ended in
    // the middle of the write, leaves no .dmp that cannot be read.
    wchar_t partial[MAX_PATH];
    const int partialLength = std::swprintf(partial, std::size(partial), L"%ls.partial", path);
    if (length <= 0 || partialLength <= 0 || !makeFolders(folder_, appDataLength_)) {
        return {};
    }
    deletePartialDumps(folder_.c_str());
    // The pointers are the crashed process's own, read from its memory.
    MINIDUMP_EXCEPTION_INFORMATION exception = {
        thread, reinterpret_cast<EXCEPTION_POINTERS*>(exceptionPointers), TRUE};
    UniqueFile file(CreateFileW(partial, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    const bool written = file && writeDumpFile(file.get(), process_, exception);
    file.reset();
    if (!written || !MoveFileExW(partial, path, 0)) {
        DeleteFileW(partial);
        return {};
    }
    pruneDumps(folder_.c_str());
    return path;
}
