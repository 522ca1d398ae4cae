#pragma once
// The ExternalInterface XML that passes between the host and the movie.
// Requests are never parsed as a tree: they are cut at fixed markers. Replies
// are joined from fixed ASCII fragments; the text of every string value has
// "&", "<" and ">" escaped, so that the reply stays well-formed XML whatever a
// file name or file content holds.
// Portable: no Windows header, so it also builds natively.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Reading a request.

// The text between the first and the second double quote.
std::wstring extractCommandName(const std::wstring& request);
// The text between the first "<arguments>" and the next "</arguments>"; a
// request without "<arguments>" has an empty section.
std::wstring extractArguments(const std::wstring& request);
// The value of the first scalar argument: after the first ">", up to the next "<".
std::wstring firstArgumentText(const std::wstring& section);

struct NumberPair {
    int32_t first = 0;
    int32_t second = 0;
};
// The values of the first two arguments, read from the whole request.
NumberPair readNumberPair(const std::wstring& request);
// Leading white space, an optional sign, decimal digits up to the first other
// character; no digits gives 0. Values beyond 32 bits saturate.
int32_t readInteger(const std::wstring& text);

// The value of an object argument's "title" property, else "Select File...".
std::wstring extractTitleProperty(const std::wstring& section);

// Replaces every occurrence of `from` left to right; inserted text is never
// searched again. Linear in the length of the text.
void replaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to);

// Writing a reply.

enum class ReplyQuote { Double, Single };

// "<string>" text "</string>", the text escaped.
std::wstring encodeString(const std::wstring& text);
std::wstring encodeBoolean(bool value);
std::wstring encodeNumber(int32_t value);
std::wstring encodeNumber(uint32_t value);
// Widened to double and written like printf's %g: six significant digits.
std::wstring encodeNumber(float value);
// "<array>" and one "<property id=N><string>item</string></property>" per item,
// N counted from 0 and quoted as asked, each item escaped; then "</array>".
std::wstring encodeStringArray(const std::vector<std::wstring>& items, ReplyQuote quote);
std::wstring encodeSizeObject(int32_t width, int32_t height);

// A reply too large to build twice (a whole file's content, a folder of
// thousands of names) is written in two passes over the same parts: a writer
// without a buffer counts its length, then a writer with a buffer of exactly
// that length writes it there, so the reply exists only once, in its final
// buffer. The buffer holds 16-bit code units (on Windows the BSTR the control
// takes). A writer never writes past its buffer: once a part does not fit
// whole, it writes nothing more, so a reply whose parts changed between the
// passes comes out cut, never overrun.
class ReplyWriter {
  public:
    // Counts only.
    ReplyWriter() noexcept = default;
    // Writes into the `units` 16-bit code units at `buffer`.
    ReplyWriter(void* buffer, uint64_t units) noexcept;

    // A fixed ASCII fragment.
    void fragment(std::string_view ascii) noexcept;
    void decimal(uint64_t value) noexcept;
    // The next part of a string value, escaped as encodeString escapes: 8-bit
    // text, each byte one code unit (zero-extended, no code page), or UTF-16
    // code units. False once the value has ended at a NUL, or the buffer is
    // full: its later parts are not to be given.
    bool escaped(const unsigned char* bytes, size_t count) noexcept;
    bool escaped(const char16_t* units, size_t count) noexcept;

    // The code units counted or written so far.
    uint64_t length() const noexcept { return length_; }
    // Once a part did not fit whole: what was written is a cut reply.
    bool full() const noexcept { return full_; }

  private:
    template <typename Char> bool escapedText(const Char* text, size_t count) noexcept;
    // Room for `units` more; a writer that lacks it is full from then on.
    bool reserve(uint64_t units) noexcept;
    // How many of `wanted` units fit.
    size_t room(size_t wanted) const noexcept;
    // After a run of plain characters: false at a NUL (the value's end) or a
    // full buffer, else the markup character's entity is written.
    bool endOrEntity(unsigned c) noexcept;

    unsigned char* out_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t length_ = 0;
    bool full_ = false;
};

// The fixed requests the host sends to the movie.
inline constexpr wchar_t windowCloseRequest[] = L"<invoke name=\"windowClose\" ></invoke>";
inline constexpr wchar_t gameMinimizedRequest[] = L"<invoke name=\"gameMinimized\" ></invoke>";
inline constexpr wchar_t gameMaximizedRequest[] = L"<invoke name=\"gameMaximized\" ></invoke>";
inline constexpr wchar_t queuedWindowCloseRequest[] =
    L"<invoke name=\"windowClose\" returntype=\"xml\"></invoke>";
inline constexpr wchar_t rightClickRequest[] = L"<invoke name=\"rightClick\" returntype=\"xml\"></invoke>";
