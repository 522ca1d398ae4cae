#include "base/system_library.h"

#include <string>

void restrictLibrarySearch() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDirectories = procedure<SetDefaultDllDirectoriesFunction>(
        GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefaultDirectories) {
        // Folders that code in the process adds on purpose (AddDllDirectory,
        // as shell extensions in the file dialog may do) stay in the search.
        setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
    }
    SetDllDirectoryW(L"");
}

HMODULE loadSystemLibrary(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    // The library's own imports are then searched from its folder too, not
    // from the program's.
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

const GdiplusLibrary* gdiplusLibrary() {
    static const GdiplusLibrary library = [] {
        const HMODULE module = loadSystemLibrary(L"gdiplus.dll");
        GdiplusLibrary found;
        found.startup = procedure<decltype(found.startup)>(module, "GdiplusStartup");
        found.shutdown = procedure<decltype(found.shutdown)>(module, "GdiplusShutdown");
        found.getImageEncodersSize =
            procedure<decltype(found.getImageEncodersSize)>(module, "GdipGetImageEncodersSize");
        found.getImageEncoders = procedure<decltype(found.getImageEncoders)>(module, "GdipGetImageEncoders");
        found.createBitmapFromFile =
            procedure<decltype(found.createBitmapFromFile)>(module, "GdipCreateBitmapFromFile");
        found.saveImageToFile = procedure<decltype(found.saveImageToFile)>(module, "GdipSaveImageToFile");
        found.disposeImage = procedure<decltype(found.disposeImage)>(module, "GdipDisposeImage");
        return found;
    }();
    const bool complete = library.startup && library.shutdown && library.getImageEncodersSize &&
                          library.getImageEncoders && library.createBitmapFromFile &&
                          library.saveImageToFile && library.disposeImage;
    return complete ? &library : nullptr;
}

const WinHttpLibrary* winHttpLibrary() {
    static const WinHttpLibrary library = [] {
        const HMODULE module = loadSystemLibrary(L"winhttp.dll");
        WinHttpLibrary found;
        found.crackUrl = procedure<decltype(found.crackUrl)>(module, "WinHttpCrackUrl");
        found.open = procedure<decltype(found.open)>(module, "WinHttpOpen");
        found.setOption = procedure<decltype(found.setOption)>(module, "WinHttpSetOption");
        found.setTimeouts = procedure<decltype(found.setTimeouts)>(module, "WinHttpSetTimeouts");
        found.connect = procedure<decltype(found.connect)>(module, "WinHttpConnect");
        found.openRequest = procedure<decltype(found.openRequest)>(module, "WinHttpOpenRequest");
        found.sendRequest = procedure<decltype(found.sendRequest)>(module, "WinHttpSendRequest");
        found.receiveResponse = procedure<decltype(found.receiveResponse)>(module, "WinHttpReceiveResponse");
        found.queryHeaders = procedure<decltype(found.queryHeaders)>(module, "WinHttpQueryHeaders");
        found.readData = procedure<decltype(found.readData)>(module, "WinHttpReadData");
        found.closeHandle = procedure<decltype(found.closeHandle)>(module, "WinHttpCloseHandle");
        return found;
    }();
    const bool complete = library.crackUrl && library.open && library.setOption && library.setTimeouts &&
                          library.connect && library.openRequest && library.sendRequest &&
                          library.receiveResponse && library.queryHeaders && library.readData &&
                          library.closeHandle;
    return complete ? &library : nullptr;
}
