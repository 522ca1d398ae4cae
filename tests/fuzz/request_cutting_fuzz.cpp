// Request cutting: every cut equals the text between its markers, found by
// plain position arithmetic on the input, and numbers stay within 32 bits.

#include "bridge/codec.h"
#include "fuzz_text.h"

#include <cstdint>
#include <limits>
#include <string>

namespace {

using std::wstring;
constexpr size_t npos = wstring::npos;

// Where the text after the first `marker` at or after `from` starts; `from`
// itself when the marker is absent.
size_t after(const wstring& text, size_t from, const wstring& marker) {
    const size_t found = text.find(marker, from);
    return found == npos ? from : found + marker.size();
}

// Where the text from `from` up to the first `marker` ends; the text's end when
// the marker is absent.
size_t upTo(const wstring& text, size_t from, const wstring& marker) {
    const size_t found = text.find(marker, from);
    return found == npos ? text.size() : found;
}

// True when `piece` is the input text from `start` to `end`.
bool isCut(const wstring& text, const wstring& piece, size_t start, size_t end) {
    return start <= end && end <= text.size() && piece.size() == end - start &&
           text.compare(start, piece.size(), piece) == 0;
}

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// Blanks, a sign, then digits; the digits, without leading zeros, decide the
// value, and more than ten of them are beyond 32 bits whatever they are.
int64_t referenceInteger(const wstring& text) {
    size_t at = 0;
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) {
        negative = text[at] == L'-';
        ++at;
    }
    wstring digits;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        if (!digits.empty() || text[at] != L'0') {
            digits += text[at];
        }
    }
    constexpr int64_t lowest = std::numeric_limits<int32_t>::min();
    constexpr int64_t highest = std::numeric_limits<int32_t>::max();
    if (digits.size() > 10) {
        return negative ? lowest : highest;
    }
    int64_t magnitude = 0;
    for (const wchar_t digit : digits) {
        magnitude = magnitude * 10 + (digit - L'0');
    }
    const int64_t value = negative ? -magnitude : magnitude;
    return value < lowest ? lowest : value > highest ? highest : value;
}

void checkCommandName(const wstring& request) {
    const wstring name = extractCommandName(request);
    const size_t firstQuote = request.find(L'"');
    if (firstQuote == npos) {
        FUZZ_CHECK(name == request);
        return;
    }
    FUZZ_CHECK(name.find(L'"') == npos);
    FUZZ_CHECK(isCut(request, name, firstQuote + 1, upTo(request, firstQuote + 1, L"\"")));
}

// Returns the section, so that the cuts made on it can be checked as well.
wstring checkArguments(const wstring& request) {
    const wstring section = extractArguments(request);
    const size_t open = request.find(L"<arguments>");
    if (open == npos) {
        FUZZ_CHECK(section.empty());
        return section;
    }
    const size_t start = open + 11;
    FUZZ_CHECK(isCut(request, section, start, upTo(request, start, L"</arguments>")));
    FUZZ_CHECK(section.find(L"</arguments>") == npos);
    return section;
}

void checkFirstArgument(const wstring& section) {
    const wstring value = firstArgumentText(section);
    const size_t start = after(section, 0, L">");
    FUZZ_CHECK(value.find(L'<') == npos);
    FUZZ_CHECK(isCut(section, value, start, upTo(section, start, L"<")));
    FUZZ_CHECK(readInteger(value) == referenceInteger(value));
}

void checkNumberPair(const wstring& request) {
    const NumberPair pair = readNumberPair(request);
    size_t first = 0;
    for (int tag = 0; tag < 3; ++tag) {
        first = after(request, first, L">");
    }
    size_t second = first;
    for (int tag = 0; tag < 2; ++tag) {
        second = after(request, second, L">");
    }
    const wstring firstValue = request.substr(first, upTo(request, first, L"<") - first);
    const wstring secondValue = request.substr(second, upTo(request, second, L"<") - second);
    FUZZ_CHECK(pair.first == referenceInteger(firstValue));
    FUZZ_CHECK(pair.second == referenceInteger(secondValue));
}

void checkTitle(const wstring& section) {
    const wstring title = extractTitleProperty(section);
    const wstring marker = L"<property id=\"title\">";
    const size_t found = section.find(marker);
    if (found == npos) {
        FUZZ_CHECK(title == L"Select File...");
        return;
    }
    const size_t propertyEnd = upTo(section, found + marker.size(), L"</property>");
    // The value's own search for ">" and "<" stays inside the property.
    const size_t tagEnd = section.find(L'>', found + marker.size());
    const size_t start = tagEnd != npos && tagEnd < propertyEnd ? tagEnd + 1 : found + marker.size();
    const size_t lessThan = section.find(L'<', start);
    const size_t end = lessThan != npos && lessThan < propertyEnd ? lessThan : propertyEnd;
    FUZZ_CHECK(title.find(L'<') == npos);
    FUZZ_CHECK(isCut(section, title, start, end));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const wstring request = fuzz::wideText(data, size);
    checkCommandName(request);
    const wstring section = checkArguments(request);
    checkNumberPair(request);
    FUZZ_CHECK(readInteger(request) == referenceInteger(request));
    // As the commands use them, on the section, and on raw text as well.
    for (const wstring* text : {&section, &request}) {
        checkFirstArgument(*text);
        checkTitle(*text);
    }
    return 0;
}
