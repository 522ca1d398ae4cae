// Reply builders: every string value comes back unchanged through a decoder of
// the three entities the codec writes, the reply keeps its fixed frame, and
// numbers read back as the values written.
// Input: the items are the pieces between NUL bytes; the first 16 bytes are
// also read as two signed, one unsigned and one single-precision number.

#include "bridge/codec.h"
#include "fuzz_text.h"

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using std::wstring;

// Undoes "&amp;", "&lt;" and "&gt;"; any other "&", and any "<" or ">", means
// the value was not escaped as it must be.
std::optional<wstring> decodeEntities(const wstring& text) {
    static const struct {
        const wchar_t* entity;
        wchar_t character;
    } entities[] = {{L"&amp;", L'&'}, {L"&lt;", L'<'}, {L"&gt;", L'>'}};
    wstring out;
    size_t at = 0;
    while (at < text.size()) {
        const wchar_t c = text[at];
        if (c == L'<' || c == L'>') {
            return std::nullopt;
        }
        if (c != L'&') {
            out += c;
            ++at;
            continue;
        }
        bool known = false;
        for (const auto& e : entities) {
            const size_t length = std::wcslen(e.entity);
            if (text.compare(at, length, e.entity) == 0) {
                out += e.character;
                at += length;
                known = true;
                break;
            }
        }
        if (!known) {
            return std::nullopt;
        }
    }
    return out;
}

// Reads `expected` at `at` and moves past it.
bool take(const wstring& text, size_t& at, const wstring& expected) {
    if (text.compare(at, expected.size(), expected) != 0) {
        return false;
    }
    at += expected.size();
    return true;
}

// Reads the raw text from `at` up to the next "<" and moves to that "<".
wstring takeValue(const wstring& text, size_t& at) {
    const size_t end = text.find(L'<', at);
    const size_t stop = end == wstring::npos ? text.size() : end;
    const wstring value = text.substr(at, stop - at);
    at = stop;
    return value;
}

void checkString(const wstring& item) {
    const wstring reply = encodeString(item);
    size_t at = 0;
    FUZZ_CHECK(take(reply, at, L"<string>"));
    const std::optional<wstring> value = decodeEntities(takeValue(reply, at));
    FUZZ_CHECK(value && *value == item);
    FUZZ_CHECK(take(reply, at, L"</string>"));
    FUZZ_CHECK(at == reply.size());
}

void checkArray(const std::vector<wstring>& items, ReplyQuote quote) {
    const wstring reply = encodeStringArray(items, quote);
    const wstring mark = quote == ReplyQuote::Double ? L"\"" : L"'";
    size_t at = 0;
    FUZZ_CHECK(take(reply, at, L"<array>"));
    for (size_t index = 0; index < items.size(); ++index) {
        FUZZ_CHECK(take(reply, at, L"<property id=" + mark + std::to_wstring(index) + mark + L"><string>"));
        const std::optional<wstring> value = decodeEntities(takeValue(reply, at));
        FUZZ_CHECK(value && *value == items[index]);
        FUZZ_CHECK(take(reply, at, L"</string></property>"));
    }
    FUZZ_CHECK(take(reply, at, L"</array>"));
    FUZZ_CHECK(at == reply.size());
}

wstring widened(const char* text) {
    return wstring(text, text + std::strlen(text));
}

void checkNumbers(int32_t width, int32_t height, uint32_t level, float ratio) {
    const wstring widthText = std::to_wstring(width);
    const wstring heightText = std::to_wstring(height);
    FUZZ_CHECK(encodeNumber(width) == L"<number>" + widthText + L"</number>");
    FUZZ_CHECK(encodeNumber(level) == L"<number>" + std::to_wstring(level) + L"</number>");
    FUZZ_CHECK(readInteger(widthText) == width);
    FUZZ_CHECK(encodeSizeObject(width, height) ==
               L"<object><property id=\"width\"><number>" + widthText +
                   L"</number></property><property id=\"height\"><number>" + heightText +
                   L"</number></property></object>");
    char expected[64];
    std::snprintf(expected, sizeof expected, "%g", static_cast<double>(ratio));
    FUZZ_CHECK(encodeNumber(ratio) == L"<number>" + widened(expected) + L"</number>");
}

template <typename Number> Number numberAt(const uint8_t* data, size_t size, size_t offset) {
    uint8_t bytes[sizeof(Number)] = {};
    for (size_t i = 0; i < sizeof bytes && offset + i < size; ++i) {
        bytes[i] = data[offset + i];
    }
    Number value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // printf's %g is the reference for reals: its decimal point must be a point.
    std::setlocale(LC_ALL, "C");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<wstring> items = fuzz::wideParts(data, size);
    for (const wstring& item : items) {
        checkString(item);
    }
    checkArray(items, ReplyQuote::Double);
    checkArray(items, ReplyQuote::Single);
    checkArray({}, ReplyQuote::Single);
    checkNumbers(numberAt<int32_t>(data, size, 0), numberAt<int32_t>(data, size, 4),
                 numberAt<uint32_t>(data, size, 8), numberAt<float>(data, size, 12));
    FUZZ_CHECK(encodeBoolean(true) == L"<true/>");
    FUZZ_CHECK(encodeBoolean(false) == L"<false/>");
    return 0;
}
