#include "host/notice.h"

#include "base/handles.h"
#include "base/system_library.h"

#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

constexpr wchar_t browserKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\IEXPLORE.EXE";
constexpr DWORD largestPathBytes = 1023;

// Internet Explorer's program file, or empty. Read-only access: a standard
// user may not open this machine-wide key for writing.
std::wstring browserPath() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, browserKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t data[largestPathBytes / sizeof(wchar_t) + 1] = {};
    DWORD size = largestPathBytes;
    if (RegQueryValueExW(key.get(), L"", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return std::wstring(data, wcsnlen(data, size / sizeof(wchar_t)));
}

} // namespace

void showFlashPlayerNotice(const wchar_t* downloadAddress) {
    const std::wstring browser = browserPath();
    MessageBoxW(nullptr,
                L"This game requires Macromedia Flash Player.\nPlease download latest Flash Player and run "
                L"the game again",
                L"ERROR", MB_OK | MB_ICONINFORMATION);
    const auto open = procedure<decltype(&ShellExecuteW)>(loadSystemLibrary(L"shell32.dll"), "ShellExecuteW");
    if (!open) {
        return;
    }
    if (browser.empty()) {
        open(nullptr, L"open", downloadAddress, nullptr, nullptr, SW_SHOWNORMAL);
    } else {
        open(nullptr, L"open", browser.c_str(), downloadAddress, nullptr, SW_SHOWNORMAL);
    }
}
