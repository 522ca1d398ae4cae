#include "apartment_watch.h"

#include "log.h"

#include <cwchar>
#include <cstdlib>

namespace {

using CoUninitializeFunction = void(WINAPI*)();

// The process environment names the watch that is in the program's import
// slot now.
constexpr wchar_t watchName[] = L"STANDIN_COUNINITIALIZE_WATCH";

CoUninitializeFunction realCoUninitialize = nullptr;
const LONG* watchedControls = nullptr;

void WINAPI watchedCoUninitialize() {
    if (*watchedControls > 0) {
        logLine(L"CoUninitialize under a live control");
    }
    realCoUninitialize();
}

using CreateFileFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                           HANDLE);
CreateFileFunction realCreateFile = nullptr;

HANDLE WINAPI watchedCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model) {
    logLine(L"open " + std::wstring(name ? name : L""));
    return realCreateFile(name, access, share, security, disposition, flags, model);
}

} // namespace

// The program's import-table slot that holds `function`, or null.
FARPROC* importSlot(HMODULE program, FARPROC function) {
    auto* base = reinterpret_cast<BYTE*>(program);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress) {
        return nullptr;
    }
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name; ++library) {
        for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk); slot->u1.Function;
             ++slot) {
            if (reinterpret_cast<FARPROC>(slot->u1.Function) == function) {
                return reinterpret_cast<FARPROC*>(&slot->u1.Function);
            }
        }
    }
    return nullptr;
}

namespace {

// Puts `watch` into the import slot, returning what it held.
FARPROC replaceSlot(FARPROC* slot, FARPROC watch) {
    const FARPROC real = *slot;
    DWORD protection = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    *slot = watch;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return real;
}

} // namespace

void watchApartmentEnd(const LONG& liveControls) {
    if (realCoUninitialize) {
        return;
    }
    // A second copy of the stand-in in the process (a shipped copy passed
    // over, then the registered one) finds the slot holding the first copy's
    // watch, published below, and chains to it: each copy watches its own
    // controls.
    FARPROC function = GetProcAddress(GetModuleHandleW(L"ole32.dll"), "CoUninitialize");
    // The value names its process too: a child process inherits it.
    wchar_t published[64] = {};
    if (GetEnvironmentVariableW(watchName, published, ARRAYSIZE(published))) {
        wchar_t* address = nullptr;
        if (wcstoul(published, &address, 16) == GetCurrentProcessId() && *address == L':') {
            function = reinterpret_cast<FARPROC>(static_cast<UINT_PTR>(wcstoull(address + 1, nullptr, 16)));
        }
    }
    FARPROC* slot = function ? importSlot(GetModuleHandleW(nullptr), function) : nullptr;
    HMODULE self = nullptr;
    // The watch runs inside CoUninitialize, which may free this library on
    // Windows: it stays loaded until the process ends.
    if (!slot || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                     reinterpret_cast<LPCWSTR>(&watchedCoUninitialize), &self)) {
        logLine(L"cannot watch CoUninitialize");
        return;
    }
    watchedControls = &liveControls;
    realCoUninitialize = reinterpret_cast<CoUninitializeFunction>(
        replaceSlot(slot, reinterpret_cast<FARPROC>(&watchedCoUninitialize)));
    swprintf(published, ARRAYSIZE(published), L"%lx:%llx", GetCurrentProcessId(),
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(&watchedCoUninitialize)));
    SetEnvironmentVariableW(watchName, published);
}

bool watchOpens() {
    if (realCreateFile) {
        return true;
    }
    FARPROC* slot = importSlot(GetModuleHandleW(nullptr),
                               GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFileW"));
    if (!slot) {
        return false;
    }
    // Through void (*)(), the type that casts to any function type unwarned.
    using AnyFunction = void (*)();
    const FARPROC real =
        replaceSlot(slot, reinterpret_cast<FARPROC>(reinterpret_cast<AnyFunction>(&watchedCreateFile)));
    realCreateFile = reinterpret_cast<CreateFileFunction>(reinterpret_cast<AnyFunction>(real));
    return true;
}
