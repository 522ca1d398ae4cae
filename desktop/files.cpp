#include "desktop/files.h"

#include "base/program.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <utility>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "file names are UTF-16 code units");

namespace {

std::wstring resolvedPath(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') {
        return path;
    }
    return programFolder() + L"\\" + path;
}

bool startsWith(const std::wstring& text, const wchar_t* start) {
    return text.compare(0, wcslen(start), start) == 0;
}

// CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9 (and their superscript
// ones, 0 too, which some versions reserve) and the console's own names, in
// any case, with any extension or stream after them and blanks before that.
bool isDeviceName(std::wstring name) {
    name.resize((std::min)(name.find_first_of(L".:"), name.size()));
    while (!name.empty() && name.back() == L' ') {
        name.pop_back();
    }
    for (wchar_t& character : name) {
        character = static_cast<wchar_t>(towupper(character));
    }
    if (name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"NUL" || name == L"CONIN$" ||
        name == L"CONOUT$") {
        return true;
    }
    const bool numbered = name.size() == 4 && (startsWith(name, L"COM") || startsWith(name, L"LPT"));
    return numbered && ((name[3] >= L'0' && name[3] <= L'9') || name[3] == L'\u00B9' ||
                        name[3] == L'\u00B2' || name[3] == L'\u00B3');
}

// The path as the system will take it: relative parts and trailing dots
// resolved; empty when it cannot say.
std::wstring fullPath(const std::wstring& path) {
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        return {};
    }
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) {
        return {};
    }
    full.resize(written);
    return full;
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

bool namesADevice(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (startsWith(path, L"\\\\.\\") || startsWith(path, L"\\??\\")) {
        return true;
    }
    if (startsWith(path, L"\\\\?\\")) {
        const std::wstring rest = path.substr(4);
        const bool drive = rest.size() >= 3 && iswalpha(rest[0]) && rest[1] == L':' && rest[2] == L'\\';
        if (!drive && _wcsnicmp(rest.c_str(), L"UNC\\", 4) != 0) {
            return true;
        }
    }
    return isDeviceName(path.substr(path.find_last_of(L'\\') + 1));
}

std::optional<TextFile> TextFile::open(const std::wstring& path, size_t chunkBytes) {
    const std::wstring resolved = resolvedPath(path);
    // A game's developer sees in the debugger output which files the movie reads.
    OutputDebugStringW(resolved.c_str());
    // Opening a device acts on it: a serial port's control lines rise, a
    // pipe's server gets a client. What names one, as the movie wrote it or
    // as the system will take it, is refused unopened; what only the open
    // reveals (a drive mapped to a device) is refused after it.
    const std::wstring full = fullPath(resolved);
    if (full.empty() || namesADevice(path) || namesADevice(full)) {
        return std::nullopt;
    }
    UniqueFile file(CreateFileW(full.c_str(), GENERIC_READ,
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
