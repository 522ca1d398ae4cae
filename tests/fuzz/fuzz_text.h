#pragma once
// Turning fuzz input into the wide text the codec works on, and a check that
// aborts, so that libFuzzer records the input as a finding.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

// Each byte is one code unit, so the seed requests and the dictionary stay
// plain text; a byte 0xFF takes the next two bytes as one code unit (low byte
// first), which reaches every UTF-16 value, NUL and surrogates included.
inline std::wstring wideText(const uint8_t* data, size_t size) {
    std::wstring text;
    text.reserve(size);
    for (size_t at = 0; at < size; ++at) {
        if (data[at] == 0xFF && at + 2 < size) {
            text += static_cast<wchar_t>(data[at + 1] | data[at + 2] << 8);
            at += 2;
        } else {
            text += static_cast<wchar_t>(data[at]);
        }
    }
    return text;
}

// The pieces of the input between NUL bytes, each made wide as above.
inline std::vector<std::wstring> wideParts(const uint8_t* data, size_t size) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t at = 0; at <= size; ++at) {
        if (at == size || data[at] == 0) {
            parts.push_back(wideText(data + start, at - start));
            start = at + 1;
        }
    }
    return parts;
}

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
    std::abort();
}

} // namespace fuzz

#define FUZZ_CHECK(condition) ((condition) ? void() : fuzz::fail(#condition, __FILE__, __LINE__))
