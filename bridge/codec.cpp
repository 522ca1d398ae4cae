#include "bridge/codec.h"

#include <charconv>
#include <limits>
#include <string_view>
#include <utility>

namespace {

using std::wstring;
using std::wstring_view;

// The text after the first `marker`, or the whole text when it is absent.
wstring_view after(wstring_view text, wstring_view marker) {
    const size_t found = text.find(marker);
    return found == wstring_view::npos ? text : text.substr(found + marker.size());
}

// The text before the first `marker`, or the whole text when it is absent.
wstring_view upTo(wstring_view text, wstring_view marker) {
    return text.substr(0, text.find(marker));
}

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// ASCII digits from to_chars, widened one by one.
wstring widen(const char* first, const char* last) {
    return wstring(first, last);
}

template <typename Number>
wstring decimal(Number value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return widen(buffer, result.ptr);
}

// A value placed inside an element must not be able to end it or open a new one.
wstring escaped(wstring_view text) {
    wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        default: out += c; break;
        }
    }
    return out;
}

wstring numberElement(const wstring& value) {
    return L"<number>" + value + L"</number>";
}

} // namespace

std::wstring extractCommandName(const std::wstring& request) {
    return wstring(upTo(after(request, L"\""), L"\""));
}

std::wstring extractArguments(const std::wstring& request) {
    constexpr wstring_view open = L"<arguments>";
    const size_t found = request.find(open);
    if (found == wstring::npos) {
        return wstring();
    }
    return wstring(upTo(wstring_view(request).substr(found + open.size()), L"</arguments>"));
}

std::wstring firstArgumentText(const std::wstring& section) {
    return wstring(upTo(after(section, L">"), L"<"));
}

NumberPair readNumberPair(const std::wstring& request) {
    const wstring_view firstValue = after(after(after(request, L">"), L">"), L">");
    const wstring_view secondValue = after(after(firstValue, L">"), L">");
    NumberPair pair;
    pair.first = readInteger(wstring(upTo(firstValue, L"<")));
    pair.second = readInteger(wstring(upTo(secondValue, L"<")));
    return pair;
}

int32_t readInteger(const std::wstring& text) {
    size_t at = 0;
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
        negative = text[at] == L'-';
        ++at;
    }
    // The magnitude stops growing once it is past every int32 value, so it never overflows.
    constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        if (magnitude <= limit) {
            magnitude = magnitude * 10 + (text[at] - L'0');
        }
    }
    if (negative) {
        return magnitude >= limit ? std::numeric_limits<int32_t>::min() : static_cast<int32_t>(-magnitude);
    }
    return magnitude >= limit ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(magnitude);
}

std::wstring extractTitleProperty(const std::wstring& section) {
    constexpr wstring_view titleProperty = L"<property id=\"title\">";
    const size_t found = section.find(titleProperty);
    if (found == wstring::npos) {
        return L"Select File...";
    }
    const wstring_view property = upTo(wstring_view(section).substr(found + titleProperty.size()), L"</property>");
    return wstring(upTo(after(property, L">"), L"<"));
}

void replaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    if (from.empty()) {
        return;
    }
    size_t found = text.find(from);
    if (found == wstring::npos) {
        return;
    }
    wstring out;
    out.reserve(text.size());
    size_t copied = 0;
    // Searching on in the original text, just past each match, is the same as searching the
    // edited text just past each inserted replacement.
    while (found != wstring::npos) {
        out.append(text, copied, found - copied);
        out += to;
        copied = found + from.size();
        found = text.find(from, copied);
    }
    out.append(text, copied, wstring::npos);
    text = std::move(out);
}

std::wstring encodeString(const std::wstring& text) {
    return L"<string>" + escaped(text) + L"</string>";
}

std::wstring encodeBoolean(bool value) {
    return value ? L"<true/>" : L"<false/>";
}

std::wstring encodeNumber(int32_t value) {
    return numberElement(decimal(value));
}

std::wstring encodeNumber(uint32_t value) {
    return numberElement(decimal(value));
}

std::wstring encodeNumber(float value) {
    // %g with precision 6, but never a locale's decimal comma.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                      std::chars_format::general, 6);
    return numberElement(widen(buffer, result.ptr));
}

std::wstring encodeStringArray(const std::vector<std::wstring>& items, ReplyQuote quote) {
    const wchar_t* const openId = quote == ReplyQuote::Double ? L"<property id=\"" : L"<property id='";
    const wchar_t* const closeId = quote == ReplyQuote::Double ? L"\"><string>" : L"'><string>";
    wstring out = L"<array>";
    for (size_t index = 0; index < items.size(); ++index) {
        out += openId;
        out += decimal(index);
        out += closeId;
        out += escaped(items[index]);
        out += L"</string></property>";
    }
    out += L"</array>";
    return out;
}

std::wstring encodeSizeObject(int32_t width, int32_t height) {
    return L"<object><property id=\"width\">" + numberElement(decimal(width)) +
           L"</property><property id=\"height\">" + numberElement(decimal(height)) +
           L"</property></object>";
}
