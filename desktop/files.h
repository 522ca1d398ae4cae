#pragma once
// Read access to the user's files at the movie's request.

#include "base/handles.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The names of the entries matching `pattern` that are not folders, in the
// order the file system gives them, one after another, each ended by a NUL
// (no file name holds one): a folder of thousands of names is one allocation.
// Empty when the search fails. UTF-16, as the replies built from them.
std::u16string findFileNames(const std::wstring& pattern);

// Whether a full path names a device, not a file on a disk: the device
// namespace (\\.\ and \??\), the file namespace (\\?\) other than a drive's
// or a share's paths, and the reserved names (CON, NUL, COM1, LPT1 and the
// like) that name a device in any folder, with any extension.
bool namesADevice(std::wstring path);

// A text file, read from its start in bounded chunks as often as asked, so
// that a file's content is never held whole: UTF-16LE after a FF FE mark,
// else 8-bit, each byte one code unit. Where the text ends (its first zero
// unit or byte) is the reader's concern.
class TextFile {
  public:
    // Large enough that a read costs little beside copying its bytes, small
    // enough to stay in the processor's cache while it is scanned.
    static constexpr size_t defaultChunkBytes = 256 * 1024;

    // The file at `path`; a path without a drive letter is read from the
    // program folder. Nothing when it cannot be opened, or when it is no file
    // on a disk: CON, NUL, COM1, LPT1 and the like name a device in any
    // folder, and a read of a serial port or a pipe can wait for ever.
    static std::optional<TextFile> open(const std::wstring& path, size_t chunkBytes = defaultChunkBytes);

    // What tells one state of the file from another: a writer that appends
    // to it or rewrites it changes its size or its last write time.
    struct Version {
        uint64_t size = 0;
        uint64_t lastWrite = 0;
        bool operator==(const Version& other) const noexcept {
            return size == other.size && lastWrite == other.lastWrite;
        }
    };
    Version version() const noexcept;

    // Back to the start of the file; the mark is read anew, and isUtf16() says
    // what it was.
    void rewind();
    bool isUtf16() const noexcept { return utf16_; }
    // Reads the next chunk and returns its length: bytes of 8-bit text at
    // bytes(), or whole code units of UTF-16 at units() (a unit split between
    // two reads is carried into the next chunk, a last odd byte dropped).
    // 0 at the end of the file or at a read error.
    size_t readChunk() noexcept;
    const unsigned char* bytes() const noexcept {
        return reinterpret_cast<const unsigned char*>(buffer_.get());
    }
    const char16_t* units() const noexcept { return buffer_.get(); }

    // Called by rewind() before it reads: a test's way to change the file
    // between two passes over it, as another program may.
    std::function<void()> rewinding;

  private:
    TextFile(UniqueFile file, size_t chunkBytes);

    UniqueFile file_;
    // Units, so that UTF-16 text is aligned for them; one more for a carried byte.
    std::unique_ptr<char16_t[]> buffer_;
    size_t chunkBytes_;
    bool utf16_ = false;
    bool carrying_ = false;
    unsigned char carried_ = 0;
};
