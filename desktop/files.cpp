#include "desktop/files.h"

#include "base/program.h"

#include <algorithm>
#include <cstring>
#include <utility>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "file names are UTF-16 code units");

namespace {

std::wstring resolvedPath(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') {
        return path;
    }
    return programFolder() + L"\\" + path;
}

// One read of at most `size` bytes; 0 at the end of the file or at an error,
// which ends the text where it happened.
size_t readSome(HANDLE file, unsigned char* into, size_t size) {
    DWORD read = 0;
    const DWORD asked = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
    if (!ReadFile(file, into, asked, &read, nullptr)) {
        return 0;
    }
    return read;
}

} // namespace

std::u16string findFileNames(const std::wstring& pattern) {
    std::u16string names;
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find) {
        return names;
    }
    do {
        // A bit test: folders that are also read-only, hidden or archived are
        // folders all the same.
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            // With its NUL.
            const size_t length = wcslen(entry.cFileName) + 1;
            const size_t at = names.size();
            names.resize(at + length);
            std::memcpy(&names[at], entry.cFileName, length * sizeof(char16_t));
        }
    } while (FindNextFileW(find.get(), &entry));
    return names;
}

std::optional<TextFile> TextFile::open(const std::wstring& path, size_t chunkBytes) {
    const std::wstring resolved = resolvedPath(path);
    // A game's developer sees in the debugger output which files the movie reads.
    OutputDebugStringW(resolved.c_str());
    UniqueFile file(CreateFileW(resolved.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) {
        return std::nullopt;
    }
    return TextFile(std::move(file), chunkBytes);
}

TextFile::TextFile(UniqueFile file, size_t chunkBytes)
    : file_(std::move(file)), buffer_(new char16_t[chunkBytes / 2 + 1]), chunkBytes_(chunkBytes) {}

TextFile::Version TextFile::version() const noexcept {
    BY_HANDLE_FILE_INFORMATION information = {};
    GetFileInformationByHandle(file_.get(), &information);
    Version version;
    version.size = uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    version.lastWrite = uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32 |
                        information.ftLastWriteTime.dwLowDateTime;
    return version;
}

void TextFile::rewind() {
    if (rewinding) {
        rewinding();
    }
    const LARGE_INTEGER start = {};
    SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN);
    unsigned char mark[2] = {};
    size_t marked = 0;
    while (marked < sizeof mark) {
        const size_t read = readSome(file_.get(), mark + marked, sizeof mark - marked);
        if (read == 0) {
            break;
        }
        marked += read;
    }
    utf16_ = marked == 2 && mark[0] == 0xFF && mark[1] == 0xFE;
    if (!utf16_) {
        SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN);
    }
    carrying_ = false;
}

size_t TextFile::readChunk() noexcept {
    unsigned char* const raw = reinterpret_cast<unsigned char*>(buffer_.get());
    if (!utf16_) {
        return readSome(file_.get(), raw, chunkBytes_);
    }
    for (;;) {
        size_t held = 0;
        if (carrying_) {
            raw[held++] = carried_;
        }
        const size_t read = readSome(file_.get(), raw + held, chunkBytes_);
        if (read == 0) {
            return 0;
        }
        held += read;
        carrying_ = held % 2 != 0;
        carried_ = raw[held - 1];
        // A single byte makes no unit yet: read on.
        if (held >= 2) {
            return held / 2;
        }
    }
}
