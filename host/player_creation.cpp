#include "host/player_creation.h"

#include "base/program.h"
#include "base/system_library.h"
#include "bridge/flash_control.h"
#include "host/resource_ids.h"

#include <cwchar>
#include <iterator>

namespace {

using DllGetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// Why the shipped player was passed over, for a developer watching the
// debugger output: the step that failed and its error code (a system error
// or an HRESULT).
void reportPassedOver(const wchar_t* step, unsigned long code) {
    wchar_t line[128];
    std::swprintf(line, std::size(line), L"gamehost: shipped player: %ls failed, error 0x%08lX\n", step,
                  code);
    OutputDebugStringW(line);
}

bool isFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// `path` loaded as a library whose own imports come from the system folder
// only, never from the program folder, where a downloaded DLL may lie beside
// the game; or null. A file that is no image for this program fails quietly,
// without the box Windows may show for a damaged one.
//
// Windows 7 without update KB2533623 knows no LOAD_LIBRARY_SEARCH_ flag and
// refuses the load (ERROR_INVALID_PARAMETER), so there the shipped file is
// passed over for the registered player or the notice. Nothing else keeps the
// imports out of the program folder: the standard search and
// LOAD_WITH_ALTERED_SEARCH_PATH both look there first, and loading the
// imports ahead by full path would miss the player's delayed ones.
UniqueModule loadPlayerFile(const std::wstring& path) {
    DWORD errorMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS, &errorMode);
    UniqueModule player(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    const DWORD error = GetLastError();
    SetThreadErrorMode(errorMode, nullptr);
    if (!player) {
        reportPassedOver(L"load", error);
    }
    return player;
}

// Creates the control into flashControl from the player file at `path`.
bool createShippedControl(const std::wstring& path) {
    UniqueModule player = loadPlayerFile(path);
    if (!player) {
        return false;
    }
    const auto getClassObject = procedure<DllGetClassObjectFunction>(player.get(), "DllGetClassObject");
    if (!getClassObject) {
        reportPassedOver(L"class object", GetLastError());
        return false;
    }
    ComPtr<IClassFactory> factory;
    const HRESULT got = getClassObject(CLSID_ShockwaveFlash, IID_IClassFactory, factory.putVoid());
    if (FAILED(got) || !factory) {
        // What a failed call left there is no reference of ours.
        factory.detach();
        reportPassedOver(L"class object", static_cast<unsigned long>(FAILED(got) ? got : E_POINTER));
        return false;
    }
    // From here on the player may run code of its own (objects, threads,
    // window classes) that only its DllCanUnloadNow could tell about, and
    // COM, which did not load it, never asks: so it stays loaded until the
    // process ends, whether or not a control comes of it.
    player.release();
    const HRESULT created = factory->CreateInstance(nullptr, IID_IShockwaveFlash, flashControl.putVoid());
    if (FAILED(created)) {
        flashControl.detach();
        reportPassedOver(L"class object", static_cast<unsigned long>(created));
        return false;
    }
    return true;
}

// Creates the control into flashControl from the registered player.
bool createRegisteredControl() {
    if (FAILED(CoCreateInstance(CLSID_ShockwaveFlash, nullptr, CLSCTX_ALL, IID_IShockwaveFlash,
                                flashControl.putVoid()))) {
        // What a failed creation left there is no reference of ours.
        flashControl.detach();
        return false;
    }
    return true;
}

} // namespace

bool PlayerCreation::createControl(const std::wstring& shippedPlayer) {
    if (isFile(shippedPlayer)) {
        // The files the manifest names are then looked for in the program
        // folder: nothing is written to the registry, and no rights beyond
        // the user's are needed. Without a context the file may still serve:
        // a player that answers names without a type library needs none.
        context_ = programManifestContext(PLAYER_MANIFEST_RESOURCE);
        if (!context_) {
            reportPassedOver(L"activation context", GetLastError());
        }
        activation_ = ActivationScope(context_.get());
        if (createShippedControl(shippedPlayer)) {
            const HRESULT bound = bindEveryCall(flashControl.get());
            if (SUCCEEDED(bound)) {
                return true;
            }
            reportPassedOver(L"names", static_cast<unsigned long>(bound));
        }
        // Let go inside the context it was made in. Then the context goes:
        // while active it would send the registered player's class and type
        // library to this file too. The player may have left a context of
        // its own activated above ours; forced, the deactivation pops it too
        // instead of raising an exception here.
        flashControl.reset();
        activation_.deactivate(DEACTIVATE_ACTCTX_FLAG_FORCE_EARLY_DEACTIVATION);
        context_.reset();
    }
    if (createRegisteredControl() && SUCCEEDED(bindEveryCall(flashControl.get()))) {
        return true;
    }
    flashControl.reset();
    return false;
}
