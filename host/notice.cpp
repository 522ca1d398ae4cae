#include "host/notice.h"

#include "base/handles.h"

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
    if (browser.empty()) {
        ShellExecuteW(nullptr, L"open", downloadAddress, nullptr, nullptr, SW_SHOWNORMAL);
    } else {
        ShellExecuteW(nullptr, L"open", browser.c_str(), downloadAddress, nullptr, SW_SHOWNORMAL);
    }
}
