#include "desktop/open_file_dialog.h"

#include "base/crash_watcher.h"
#include "base/program.h"
#include "base/system_library.h"

#include <commdlg.h>

namespace {

constexpr DWORD fileNameLength = 26000;

// The null-terminated strings of `buffer` up to the first empty one.
std::vector<std::wstring> bufferStrings(const std::vector<wchar_t>& buffer) {
    std::vector<std::wstring> strings;
    size_t start = 0;
    while (start < buffer.size() && buffer[start] != L'\0') {
        size_t end = start;
        while (end < buffer.size() && buffer[end] != L'\0') {
            ++end;
        }
        strings.emplace_back(buffer.data() + start, end - start);
        start = end + 1;
    }
    return strings;
}

} // namespace

std::vector<std::wstring> showOpenFileDialog(const std::wstring& title, const wchar_t* filter) {
    std::vector<wchar_t> names(fileNameLength, L'\0');
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = mainWindow;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 0;
    dialog.lpstrFile = names.data();
    dialog.nMaxFile = fileNameLength;
    dialog.lpstrInitialDir = L"";
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY;
    const auto openFileDialog =
        procedure<decltype(&GetOpenFileNameW)>(loadSystemLibrary(L"comdlg32.dll"), "GetOpenFileNameW");
    const BOOL chosen = openFileDialog ? openFileDialog(&dialog) : FALSE;
    // The dialog loads the shell's extensions, which may set a filter of their own.
    keepCrashFilter();
    // Cancel, an error, and a selection too long for the buffer alike.
    if (chosen != TRUE) {
        return {};
    }
    std::vector<std::wstring> strings = bufferStrings(names);
    if (strings.size() <= 1) {
        return strings;
    }
    // A folder, then the names in it. A drive root already ends in a backslash.
    const std::wstring& folder = strings.front();
    const std::wstring separator = folder.back() == L'\\' ? L"" : L"\\";
    std::vector<std::wstring> paths;
    for (size_t i = 1; i < strings.size(); ++i) {
        paths.push_back(folder + separator + strings[i]);
    }
    return paths;
}
