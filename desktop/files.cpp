#include "desktop/files.h"

#include "host/handles.h"
#include "host/startup.h"

#include <algorithm>

namespace {

std::wstring resolvedPath(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') {
        return path;
    }
    return programFolder() + L"\\" + path;
}

std::optional<std::string> readWholeFile(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file.get(), &size);
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data() + done, chunk, &read, nullptr) || read == 0) {
            break;
        }
        done += read;
    }
    bytes.resize(done);
    return bytes;
}

std::wstring textOf(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::wstring text((bytes.size() - 2) / 2, L'\0');
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                           static_cast<unsigned char>(bytes[3 + 2 * i]) << 8);
        }
        text.resize(std::min(text.size(), text.find(L'\0')));
        return text;
    }
    const size_t end = std::min(bytes.size(), bytes.find('\0'));
    std::wstring text(end, L'\0');
    // Widened as unsigned bytes: 0xE9 is U+00E9, not a sign-extended U+FFE9.
    std::transform(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end), text.begin(),
                   [](char byte) { return static_cast<wchar_t>(static_cast<unsigned char>(byte)); });
    return text;
}

} // namespace

std::vector<std::wstring> findFileNames(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find) {
        return names;
    }
    do {
        // A bit test: folders that are also read-only, hidden or archived are
        // folders all the same.
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.emplace_back(entry.cFileName);
        }
    } while (FindNextFileW(find.get(), &entry));
    return names;
}

std::optional<std::wstring> readFileText(const std::wstring& path) {
    const std::wstring resolved = resolvedPath(path);
    OutputDebugStringW(resolved.c_str());
    const std::optional<std::string> bytes = readWholeFile(resolved);
    if (!bytes) {
        return std::nullopt;
    }
    return textOf(*bytes);
}
