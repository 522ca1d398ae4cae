#pragma once
// Read access to the user's files at the movie's request.

#include "base/handles.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

// The names of the entries matching `pattern` that are not folders, in the
// order the file system gives them, one after another, each ended by a NUL
// (no file name holds one): a folder of thousands of names is one allocation.
// Empty when the search fails. UTF-16, as the replies built from them.
std::u16string findFileNames(const std::wstring& pattern);

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
    // program folder. Nothing when it cannot be opened.
    static std::optional<TextFile> open(const std::wstring& path, size_t chunkBytes = defaultChunkBytes);

    bool isUtf16() const noexcept { return utf16_; }
    // Back to the first byte of the text, past a mark.
    void rewind() noexcept;
    // Reads the next chunk and returns its length: bytes of 8-bit text at
    // bytes(), or whole code units of UTF-16 at units() (a unit split between
    // two reads is carried into the next chunk, a last odd byte dropped).
    // 0 at the end of the file or at a read error.
    size_t readChunk() noexcept;
    const unsigned char* bytes() const noexcept {
        return reinterpret_cast<const unsigned char*>(buffer_.get());
    }
    const char16_t* units() const noexcept { return buffer_.get(); }

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
