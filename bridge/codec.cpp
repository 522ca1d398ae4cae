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

// ASCII digits from to_chars, widened and appended in one step.
template <typename Number> void appendDecimal(wstring& out, Number value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

const wchar_t* entityFor(wchar_t c) {
    switch (c) {
    case L'&':
        return L"&amp;";
    case L'<':
        return L"&lt;";
    case L'>':
        return L"&gt;";
    default:
        return nullptr;
    }
}

// The length `text` has once escaped.
size_t escapedLength(wstring_view text) {
    size_t length = text.size();
    for (const wchar_t c : text) {
        if (const wchar_t* entity = entityFor(c)) {
            length += std::char_traits<wchar_t>::length(entity) - 1;
        }
    }
    return length;
}

// A value placed inside an element must not be able to end it or open a new one.
// The runs between markup characters are copied whole.
void appendEscaped(wstring& out, wstring_view text) {
    size_t run = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        if (const wchar_t* entity = entityFor(text[at])) {
            out.append(text.data() + run, at - run);
            out += entity;
            run = at + 1;
        }
    }
    out.append(text.data() + run, text.size() - run);
}

template <typename Number> wstring numberElement(Number value) {
    wstring out = L"<number>";
    appendDecimal(out, value);
    out += L"</number>";
    return out;
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
    const wstring_view property =
        upTo(wstring_view(section).substr(found + titleProperty.size()), L"</property>");
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
    constexpr wstring_view open = L"<string>";
    constexpr wstring_view close = L"</string>";
    // Sized once: the file content this carries can be many megabytes.
    wstring out;
    out.reserve(open.size() + escapedLength(text) + close.size());
    out += open;
    appendEscaped(out, text);
    out += close;
    return out;
}

std::wstring encodeString(std::wstring&& text) {
    constexpr wstring_view open = L"<string>";
    constexpr wstring_view close = L"</string>";
    const size_t length = text.size();
    const size_t total = open.size() + escapedLength(text) + close.size();
    if (text.capacity() < total) {
        return encodeString(static_cast<const wstring&>(text));
    }
    text.resize(total);
    wchar_t* const data = text.data();
    // From the back, run by run: every write lands past the characters still
    // to be read, as the frame and the entities only ever add length.
    size_t to = total - close.size();
    close.copy(data + to, close.size());
    size_t end = length;
    while (end > 0) {
        const size_t special = wstring_view(data, end).find_last_of(L"&<>");
        const size_t start = special == wstring_view::npos ? 0 : special + 1;
        to -= end - start;
        std::char_traits<wchar_t>::move(data + to, data + start, end - start);
        if (special == wstring_view::npos) {
            break;
        }
        const wstring_view entity = entityFor(data[special]);
        to -= entity.size();
        entity.copy(data + to, entity.size());
        end = special;
    }
    open.copy(data, open.size());
    return std::move(text);
}

std::wstring encodeBoolean(bool value) {
    return value ? L"<true/>" : L"<false/>";
}

std::wstring encodeNumber(int32_t value) {
    return numberElement(value);
}

std::wstring encodeNumber(uint32_t value) {
    return numberElement(value);
}

std::wstring encodeNumber(float value) {
    // %g with precision 6, but never a locale's decimal comma.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                      std::chars_format::general, 6);
    wstring out = L"<number>";
    out.append(buffer, result.ptr);
    out += L"</number>";
    return out;
}

std::wstring encodeStringArray(const std::vector<std::wstring>& items, ReplyQuote quote) {
    const wchar_t* const openId = quote == ReplyQuote::Double ? L"<property id=\"" : L"<property id='";
    const wchar_t* const closeId = quote == ReplyQuote::Double ? L"\"><string>" : L"'><string>";
    wstring out = L"<array>";
    for (size_t index = 0; index < items.size(); ++index) {
        out += openId;
        appendDecimal(out, index);
        out += closeId;
        appendEscaped(out, items[index]);
        out += L"</string></property>";
    }
    out += L"</array>";
    return out;
}

std::wstring encodeSizeObject(int32_t width, int32_t height) {
    wstring out = L"<object><property id=\"width\"><number>";
    appendDecimal(out, width);
    out += L"</number></property><property id=\"height\"><number>";
    appendDecimal(out, height);
    out += L"</number></property></object>";
    return out;
}
