// replaceAll against the rule done literally, on every input: find `from` at
// or after the search position, erase it, insert `to`, go on just past `to`.
// Input: `from`, a NUL byte, `to`, a NUL byte, then the text.

#include "bridge/codec.h"
#include "fuzz_text.h"

#include <cstdint>
#include <string>

namespace {

using std::wstring;

// Slow on purpose: every match moves the whole rest of the text twice.
wstring slowReplace(wstring text, const wstring& from, const wstring& to) {
    if (from.empty()) {
        return text;
    }
    size_t position = 0;
    while (true) {
        position = text.find(from, position);
        if (position == wstring::npos) {
            return text;
        }
        text.erase(position, from.size());
        text.insert(position, to);
        position += to.size();
    }
}

void check(const wstring& text, const wstring& from, const wstring& to) {
    wstring result = text;
    replaceAll(result, from, to);
    FUZZ_CHECK(result == slowReplace(text, from, to));
    if (from.empty() || from == to) {
        FUZZ_CHECK(result == text);
    }
}

// The text from `at` up to the next NUL byte; `at` moves past that NUL.
wstring nextPart(const uint8_t* data, size_t size, size_t& at) {
    const size_t start = at;
    while (at < size && data[at] != 0) {
        ++at;
    }
    const wstring part = fuzz::wideText(data + start, at - start);
    if (at < size) {
        ++at;
    }
    return part;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    const wstring from = nextPart(data, size, at);
    const wstring to = nextPart(data, size, at);
    const wstring text = fuzz::wideText(data + at, size - at);
    check(text, from, to);
    // The two replacements the commands make, in their order.
    check(text, L"&amp;", L"&");
    wstring once = text;
    replaceAll(once, L"&amp;", L"&");
    check(once, L"&apos;", L"'");
    // The whole input as the text, markers included.
    check(fuzz::wideText(data, size), from, to);
    return 0;
}
