#include "bridge/codec.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

// The scans of a large reply's text use SSE2 where it is there for certain
// (64-bit x86, or a build for SSE2 processors), and on the 32-bit program,
// which is built for any x86 processor, where the processor has it.
#if defined(CODEC_SCALAR_ONLY)
#define CODEC_SSE2 0
#elif defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define CODEC_SSE2 1
#define CODEC_SSE2_FUNCTION
#elif (defined(__GNUC__) || defined(__clang__)) && defined(__i386__)
#define CODEC_SSE2 1
#define CODEC_SSE2_FUNCTION __attribute__((target("sse2")))
#define CODEC_SSE2_CHECKED
#else
#define CODEC_SSE2 0
#endif

#if CODEC_SSE2
#include <emmintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#endif

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

// Streaming a large string value. The hot loops stop at the first NUL or
// markup character; everything between such characters is copied whole.

bool isPlain(unsigned c) {
    return c != 0 && c != '&' && c != '<' && c != '>';
}

void storeUnit(unsigned char* out, unsigned unit) {
    const char16_t value = static_cast<char16_t>(unit);
    std::memcpy(out, &value, sizeof value);
}

size_t plainBytesScalar(const unsigned char* bytes, size_t count) {
    size_t at = 0;
    while (at < count && isPlain(bytes[at])) {
        ++at;
    }
    return at;
}

size_t plainUnitsScalar(const char16_t* units, size_t count) {
    size_t at = 0;
    while (at < count && isPlain(units[at])) {
        ++at;
    }
    return at;
}

// Widens the bytes before the first NUL or markup character, at most `count`;
// returns how many.
size_t widenPlainScalar(unsigned char* out, const unsigned char* bytes, size_t count) {
    size_t at = 0;
    for (; at < count && isPlain(bytes[at]); ++at) {
        storeUnit(out + 2 * at, bytes[at]);
    }
    return at;
}

// What a counting pass needs of a part of a string value: how many of its
// characters come before its first NUL, and how many units their entities
// add.
struct TextCount {
    size_t characters = 0;
    uint64_t extra = 0;
    bool ended = false;
};

// The units an entity adds to its character: "&amp;" four, "&lt;" and "&gt;" three.
constexpr unsigned ampersandExtra = 4;
constexpr unsigned angleExtra = 3;

template <typename Char> TextCount countScalar(const Char* text, size_t count) {
    TextCount counted;
    for (; counted.characters < count; ++counted.characters) {
        const unsigned c = text[counted.characters];
        if (c == 0) {
            counted.ended = true;
            break;
        }
        counted.extra += c == '&' ? ampersandExtra : c == '<' || c == '>' ? angleExtra : 0;
    }
    return counted;
}

#if CODEC_SSE2

bool sse2Present() {
#if defined(CODEC_SSE2_CHECKED)
    static const bool present = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2") != 0;
    }();
    return present;
#else
    return true;
#endif
}

unsigned firstBit(unsigned mask) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index;
    _BitScanForward(&index, mask);
    return index;
#else
    return static_cast<unsigned>(__builtin_ctz(mask));
#endif
}

// A bit per byte that is NUL, "&", "<" or ">" ("<" is ">" with bit 1 clear).
CODEC_SSE2_FUNCTION unsigned markupBytes(__m128i v) {
    const __m128i nul = _mm_cmpeq_epi8(v, _mm_setzero_si128());
    const __m128i ampersand = _mm_cmpeq_epi8(v, _mm_set1_epi8('&'));
    const __m128i angle = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(2)), _mm_set1_epi8('>'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(nul, ampersand), angle)));
}

// The same for 16-bit units, two bits per unit.
CODEC_SSE2_FUNCTION unsigned markupUnits(__m128i v) {
    const __m128i nul = _mm_cmpeq_epi16(v, _mm_setzero_si128());
    const __m128i ampersand = _mm_cmpeq_epi16(v, _mm_set1_epi16('&'));
    const __m128i angle = _mm_cmpeq_epi16(_mm_or_si128(v, _mm_set1_epi16(2)), _mm_set1_epi16('>'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(nul, ampersand), angle)));
}

CODEC_SSE2_FUNCTION size_t plainBytesSse2(const unsigned char* bytes, size_t count) {
    size_t at = 0;
    for (; at + 16 <= count; at += 16) {
        if (const unsigned mask =
                markupBytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at)))) {
            return at + firstBit(mask);
        }
    }
    return at + plainBytesScalar(bytes + at, count - at);
}

CODEC_SSE2_FUNCTION size_t plainUnitsSse2(const char16_t* units, size_t count) {
    size_t at = 0;
    for (; at + 8 <= count; at += 8) {
        if (const unsigned mask =
                markupUnits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(units + at)))) {
            return at + firstBit(mask) / 2;
        }
    }
    return at + plainUnitsScalar(units + at, count - at);
}

CODEC_SSE2_FUNCTION size_t widenPlainSse2(unsigned char* out, const unsigned char* bytes, size_t count) {
    const __m128i zero = _mm_setzero_si128();
    size_t at = 0;
    for (; at + 16 <= count; at += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        if (markupBytes(v)) {
            break;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * at), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * at + 16), _mm_unpackhi_epi8(v, zero));
    }
    return at + widenPlainScalar(out + 2 * at, bytes + at, count - at);
}

// The counts need no stop at each markup character: each block's matches are
// tallied per lane, at most 255 blocks a batch so that no tally overflows,
// and a batch ends early at the block that holds a NUL, which the plain loop
// then counts up to.
CODEC_SSE2_FUNCTION uint64_t sumOfBytes(__m128i tallies) {
    const __m128i sums = _mm_sad_epu8(tallies, _mm_setzero_si128());
    return static_cast<uint64_t>(_mm_cvtsi128_si32(sums)) +
           static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

CODEC_SSE2_FUNCTION uint64_t sumOfUnits(__m128i tallies) {
    // Each unit's tally is below 2^15, so pairs of them summed as signed words stay exact.
    const __m128i pairs = _mm_madd_epi16(tallies, _mm_set1_epi16(1));
    const __m128i halves = _mm_add_epi32(pairs, _mm_srli_si128(pairs, 8));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 4))));
}

CODEC_SSE2_FUNCTION TextCount countBytesSse2(const unsigned char* bytes, size_t count) {
    const __m128i zero = _mm_setzero_si128();
    TextCount counted;
    size_t at = 0;
    for (bool nul = false; !nul && count - at >= 16;) {
        const size_t blocks = std::min<size_t>((count - at) / 16, 255);
        __m128i ampersands = zero;
        __m128i angles = zero;
        size_t block = 0;
        for (; block < blocks; ++block) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at + 16 * block));
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))) {
                nul = true;
                break;
            }
            ampersands = _mm_sub_epi8(ampersands, _mm_cmpeq_epi8(v, _mm_set1_epi8('&')));
            angles =
                _mm_sub_epi8(angles, _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(2)), _mm_set1_epi8('>')));
        }
        counted.extra += ampersandExtra * sumOfBytes(ampersands) + angleExtra * sumOfBytes(angles);
        at += 16 * block;
    }
    const TextCount rest = countScalar(bytes + at, count - at);
    counted.characters = at + rest.characters;
    counted.extra += rest.extra;
    counted.ended = rest.ended;
    return counted;
}

CODEC_SSE2_FUNCTION TextCount countUnitsSse2(const char16_t* units, size_t count) {
    const __m128i zero = _mm_setzero_si128();
    TextCount counted;
    size_t at = 0;
    for (bool nul = false; !nul && count - at >= 8;) {
        const size_t blocks = std::min<size_t>((count - at) / 8, 0x7FFF);
        __m128i ampersands = zero;
        __m128i angles = zero;
        size_t block = 0;
        for (; block < blocks; ++block) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + at + 8 * block));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(v, zero))) {
                nul = true;
                break;
            }
            ampersands = _mm_sub_epi16(ampersands, _mm_cmpeq_epi16(v, _mm_set1_epi16('&')));
            angles = _mm_sub_epi16(angles,
                                   _mm_cmpeq_epi16(_mm_or_si128(v, _mm_set1_epi16(2)), _mm_set1_epi16('>')));
        }
        counted.extra += ampersandExtra * sumOfUnits(ampersands) + angleExtra * sumOfUnits(angles);
        at += 8 * block;
    }
    const TextCount rest = countScalar(units + at, count - at);
    counted.characters = at + rest.characters;
    counted.extra += rest.extra;
    counted.ended = rest.ended;
    return counted;
}

#endif

size_t plainBytes(const unsigned char* bytes, size_t count) {
#if CODEC_SSE2
    if (sse2Present()) {
        return plainBytesSse2(bytes, count);
    }
#endif
    return plainBytesScalar(bytes, count);
}

size_t plainUnits(const char16_t* units, size_t count) {
#if CODEC_SSE2
    if (sse2Present()) {
        return plainUnitsSse2(units, count);
    }
#endif
    return plainUnitsScalar(units, count);
}

size_t widenPlain(unsigned char* out, const unsigned char* bytes, size_t count) {
#if CODEC_SSE2
    if (sse2Present()) {
        return widenPlainSse2(out, bytes, count);
    }
#endif
    return widenPlainScalar(out, bytes, count);
}

TextCount countText(const unsigned char* bytes, size_t count) {
#if CODEC_SSE2
    if (sse2Present()) {
        return countBytesSse2(bytes, count);
    }
#endif
    return countScalar(bytes, count);
}

TextCount countText(const char16_t* units, size_t count) {
#if CODEC_SSE2
    if (sse2Present()) {
        return countUnitsSse2(units, count);
    }
#endif
    return countScalar(units, count);
}

// The length of the run of plain characters that `count` characters from its
// second argument start with, written out as code units at `out` unless that
// is null (a count only).
size_t plainRun(unsigned char* out, const unsigned char* bytes, size_t count) {
    return out ? widenPlain(out, bytes, count) : plainBytes(bytes, count);
}

size_t plainRun(unsigned char* out, const char16_t* units, size_t count) {
    const size_t run = plainUnits(units, count);
    if (out) {
        std::memcpy(out, units, run * sizeof(char16_t));
    }
    return run;
}

const char* asciiEntityFor(unsigned c) {
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    default:
        return "&gt;";
    }
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
    // One allocation: the frame is 116 characters, each number at most 11.
    wstring out;
    out.reserve(116 + 2 * 11);
    out = L"<object><property id=\"width\"><number>";
    appendDecimal(out, width);
    out += L"</number></property><property id=\"height\"><number>";
    appendDecimal(out, height);
    out += L"</number></property></object>";
    return out;
}

ReplyWriter::ReplyWriter(void* buffer, uint64_t units) noexcept
    : out_(static_cast<unsigned char*>(buffer)), capacity_(units) {}

bool ReplyWriter::reserve(uint64_t units) noexcept {
    if (!full_ && out_ && capacity_ - length_ < units) {
        full_ = true;
    }
    return !full_;
}

void ReplyWriter::fragment(std::string_view ascii) noexcept {
    if (!reserve(ascii.size())) {
        return;
    }
    if (out_) {
        for (size_t at = 0; at < ascii.size(); ++at) {
            storeUnit(out_ + 2 * (length_ + at), static_cast<unsigned char>(ascii[at]));
        }
    }
    length_ += ascii.size();
}

void ReplyWriter::decimal(uint64_t value) noexcept {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    fragment(std::string_view(buffer, static_cast<size_t>(result.ptr - buffer)));
}

// Where a run stops short of the end of the part, the next character is a
// NUL, markup, or a plain one the buffer has no room for. A count only needs
// the part's characters and entities, not its runs.
template <typename Char> bool ReplyWriter::escapedText(const Char* text, size_t count) noexcept {
    if (!out_) {
        const TextCount counted = countText(text, count);
        length_ += counted.characters + counted.extra;
        return !counted.ended;
    }
    size_t at = 0;
    while (at < count && !full_) {
        const size_t run = plainRun(out_ ? out_ + 2 * length_ : nullptr, text + at, room(count - at));
        length_ += run;
        at += run;
        if (at == count) {
            break;
        }
        if (!endOrEntity(text[at])) {
            return false;
        }
        ++at;
    }
    return !full_;
}

bool ReplyWriter::escaped(const unsigned char* bytes, size_t count) noexcept {
    return escapedText(bytes, count);
}

bool ReplyWriter::escaped(const char16_t* units, size_t count) noexcept {
    return escapedText(units, count);
}

size_t ReplyWriter::room(size_t wanted) const noexcept {
    if (!out_ || capacity_ - length_ >= wanted) {
        return wanted;
    }
    return static_cast<size_t>(capacity_ - length_);
}

bool ReplyWriter::endOrEntity(unsigned c) noexcept {
    if (c == 0) {
        return false;
    }
    if (isPlain(c)) {
        full_ = true;
        return false;
    }
    fragment(asciiEntityFor(c));
    return !full_;
}
