#include "desktop/files.h"

#include "base/handles.h"
#include "base/program.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

std::wstring resolvedPath(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') {
        return path;
    }
    return programFolder() + L"\\" + path;
}

static_assert(sizeof(wchar_t) == 2, "file text is read straight into UTF-16 code units");

// Reads up to `size` bytes into `into`, in as few calls as the system allows;
// returns how many were read. A read error ends the text where it happened.
size_t readBytes(HANDLE file, unsigned char* into, size_t size) {
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        DWORD read = 0;
        if (!ReadFile(file, into + done, chunk, &read, nullptr) || read == 0) {
            break;
        }
        done += read;
    }
    return done;
}

// Room to grow by about a sixteenth in place, as a reply built around the
// text does; it is never touched unless used.
constexpr uint64_t withRoom(uint64_t length) {
    return length + length / 16 + 64;
}

// A text of `length` code units, with its room.
std::wstring textOfLength(size_t length) {
    std::wstring text;
    text.reserve(static_cast<size_t>(withRoom(length)));
    text.resize(length);
    return text;
}

// The file is read straight into the text's own buffer: a large file is held
// once, not once as bytes and again as text.
std::wstring readText(HANDLE file, size_t fileSize) {
    unsigned char mark[2] = {};
    // Never more than the file's size, which the buffer below is made for.
    const size_t marked = readBytes(file, mark, std::min<size_t>(sizeof mark, fileSize));
    if (marked == 2 && mark[0] == 0xFF && mark[1] == 0xFE) {
        // A last odd byte is not read.
        std::wstring text = textOfLength((fileSize - 2) / 2);
        const size_t units =
            readBytes(file, reinterpret_cast<unsigned char*>(text.data()), text.size() * 2) / 2;
        text.resize(std::min(units, text.find(L'\0')));
        return text;
    }
    // The bytes go to the upper half of the buffer and are widened forward in
    // place: unit i (bytes 2i and 2i+1) is written only after byte size+i,
    // its source, was read, and later sources lie beyond it.
    std::wstring text = textOfLength(fileSize);
    unsigned char* const bytes = reinterpret_cast<unsigned char*>(text.data()) + fileSize;
    std::copy(mark, mark + marked, bytes);
    const size_t read = marked + (marked == 2 ? readBytes(file, bytes + 2, fileSize - 2) : 0);
    const void* const zero = std::memchr(bytes, 0, read);
    const size_t end = zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - bytes) : read;
    for (size_t i = 0; i < end; ++i) {
        // Unsigned: 0xE9 is U+00E9, not a sign-extended U+FFE9.
        text[i] = static_cast<wchar_t>(bytes[i]);
    }
    text.resize(end);
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

// An 8-bit file needs as many code units as it has bytes, a UTF-16 one fewer.
bool canHoldFileText(uint64_t bytes) {
    const uint64_t largest = std::wstring().max_size();
    return bytes <= largest && withRoom(bytes) <= largest;
}

std::optional<std::wstring> readFileText(const std::wstring& path) {
    const std::wstring resolved = resolvedPath(path);
    // A game's developer sees in the debugger output which files the movie reads.
    OutputDebugStringW(resolved.c_str());
    UniqueFile file(CreateFileW(resolved.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file.get(), &size);
    // Cast to size_t, a size past what memory can hold would wrap around and
    // give part of the text as if it were all of it.
    if (size.QuadPart < 0 || !canHoldFileText(static_cast<uint64_t>(size.QuadPart))) {
        return std::nullopt;
    }
    try {
        return readText(file.get(), static_cast<size_t>(size.QuadPart));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}
