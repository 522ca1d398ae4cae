#pragma once
// The system libraries that Windows does not always take from its own folder:
// atl.dll, winmm.dll, gdiplus.dll and winhttp.dll. Found by the usual search, a DLL of the
// same name beside the program (a downloads folder, an unpacked zip) would
// run first, with the player's rights; so they are loaded by full path from
// the system folder, and the program file imports none of them. shell32.dll
// and comdlg32.dll are loaded the same way at their first use: imported, they
// and what they load would weigh on every start of the program, its crash
// watcher's included, for three calls that most games never make.

#include <windows.h>
// GDI+'s headers need the OLE types that WIN32_LEAN_AND_MEAN leaves out.
#include <objbase.h>

#include <algorithm>

// GDI+'s headers use min and max unqualified, which NOMINMAX takes away.
namespace Gdiplus {
using std::max;
using std::min;
} // namespace Gdiplus
#include <gdiplus.h>
#include <winhttp.h>

// Leaves the program folder and the current folder out of the search of every
// later load by name, the player's included: only the system folder and the
// folders added with AddDllDirectory, where the system can (Windows 8, or
// Windows 7 with update KB2533623), and at least never the current folder.
void restrictLibrarySearch();

// `name` from the system folder, or null. It stays loaded until the process
// ends: code of it may still run (a window it subclassed) when its user is done.
HMODULE loadSystemLibrary(const wchar_t* name);

// An export of `module` as its real type; null when either is missing.
template <typename Function> Function procedure(HMODULE module, const char* name) {
    if (!module) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The GDI+ functions the program uses.
struct GdiplusLibrary {
    decltype(&Gdiplus::GdiplusStartup) startup;
    decltype(&Gdiplus::GdiplusShutdown) shutdown;
    decltype(&Gdiplus::DllExports::GdipGetImageEncodersSize) getImageEncodersSize;
    decltype(&Gdiplus::DllExports::GdipGetImageEncoders) getImageEncoders;
    decltype(&Gdiplus::DllExports::GdipCreateBitmapFromFile) createBitmapFromFile;
    decltype(&Gdiplus::DllExports::GdipSaveImageToFile) saveImageToFile;
    decltype(&Gdiplus::DllExports::GdipDisposeImage) disposeImage;
};

// Loaded at the first call; null when gdiplus.dll or one of the functions is missing.
const GdiplusLibrary* gdiplusLibrary();

// The WinHTTP functions the crash reports use.
struct WinHttpLibrary {
    decltype(&WinHttpCrackUrl) crackUrl;
    decltype(&WinHttpOpen) open;
    decltype(&WinHttpSetOption) setOption;
    decltype(&WinHttpSetTimeouts) setTimeouts;
    decltype(&WinHttpConnect) connect;
    decltype(&WinHttpOpenRequest) openRequest;
    decltype(&WinHttpSendRequest) sendRequest;
    decltype(&WinHttpReceiveResponse) receiveResponse;
    decltype(&WinHttpQueryHeaders) queryHeaders;
    decltype(&WinHttpReadData) readData;
    decltype(&WinHttpCloseHandle) closeHandle;
};

// Loaded at the first call; null when winhttp.dll or one of the functions is missing.
const WinHttpLibrary* winHttpLibrary();
