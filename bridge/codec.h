#pragma once
// The ExternalInterface XML that passes between the host and the movie.
// Requests are never parsed as a tree: they are cut at fixed markers. Replies
// are joined from fixed ASCII fragments; the text of every string value has
// "&", "<" and ">" escaped, so that the reply stays well-formed XML whatever a
// file name or file content holds.
// Portable: no Windows header, so it also builds natively.

#include <cstdint>
#include <string>
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
// The same, built in the text's own buffer when its capacity allows, so that
// a large text is not held twice.
std::wstring encodeString(std::wstring&& text);
std::wstring encodeBoolean(bool value);
std::wstring encodeNumber(int32_t value);
std::wstring encodeNumber(uint32_t value);
// Widened to double and written like printf's %g: six significant digits.
std::wstring encodeNumber(float value);
// "<array>" and one "<property id=N><string>item</string></property>" per item,
// N counted from 0 and quoted as asked, each item escaped; then "</array>".
std::wstring encodeStringArray(const std::vector<std::wstring>& items, ReplyQuote quote);
std::wstring encodeSizeObject(int32_t width, int32_t height);

// The fixed requests the host sends to the movie.
inline constexpr wchar_t windowCloseRequest[] = L"<invoke name=\"windowClose\" ></invoke>";
inline constexpr wchar_t gameMinimizedRequest[] = L"<invoke name=\"gameMinimized\" ></invoke>";
inline constexpr wchar_t gameMaximizedRequest[] = L"<invoke name=\"gameMaximized\" ></invoke>";
inline constexpr wchar_t queuedWindowCloseRequest[] =
    L"<invoke name=\"windowClose\" returntype=\"xml\"></invoke>";
inline constexpr wchar_t rightClickRequest[] = L"<invoke name=\"rightClick\" returntype=\"xml\"></invoke>";
