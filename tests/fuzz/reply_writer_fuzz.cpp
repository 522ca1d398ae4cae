// The two-pass reply writer: for a text given in parts, as 8-bit bytes or as
// UTF-16 units, the length counted is the length written, and what is written
// is what encodeString builds from the whole text up to its first NUL. A
// buffer too short for it (a text that changed between the passes) gets a
// beginning of that reply, whole entities only, and nothing past its end.
// Input: the first byte chooses the encoding, where the parts are cut and
// whether a long repetition of the text is counted too, the second how short
// the short buffer is; the rest is the text.
// Built twice: with the SSE2 scans and with the plain loops only.

#include "bridge/codec.h"
#include "fuzz_text.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using std::wstring;

// The parts, cut at up to three places the input chooses.
template <typename Unit>
std::vector<std::basic_string<Unit>> parts(const std::basic_string<Unit>& text, uint8_t seed) {
    std::vector<std::basic_string<Unit>> pieces;
    size_t at = 0;
    for (unsigned cut = 0; cut < 3 && at < text.size(); ++cut) {
        const size_t length = (seed >> (2 * cut) & 3) * 5 % (text.size() - at + 1);
        pieces.push_back(text.substr(at, length));
        at += length;
    }
    pieces.push_back(text.substr(at));
    return pieces;
}

template <typename Unit> void feed(ReplyWriter& writer, const std::vector<std::basic_string<Unit>>& pieces) {
    writer.fragment("<string>");
    for (const auto& piece : pieces) {
        bool more;
        if constexpr (sizeof(Unit) == 1) {
            more = writer.escaped(reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
        } else {
            more = writer.escaped(piece.data(), piece.size());
        }
        if (!more) {
            break;
        }
    }
    writer.fragment("</string>");
}

// The count of a text far longer than an input: the value repeated past the
// counting scan's batches (4080 bytes, 262,136 units), so that every batch
// tallies as many markup characters as the value holds, up to all of them.
template <typename Unit> void checkLongCount(const std::basic_string<Unit>& value, size_t valueReplyLength) {
    constexpr size_t longest = sizeof(Unit) == 1 ? 9000 : 270000;
    const size_t copies = longest / value.size() + 1;
    std::basic_string<Unit> text;
    text.reserve(copies * value.size());
    for (size_t copy = 0; copy < copies; ++copy) {
        text += value;
    }
    ReplyWriter counter;
    if constexpr (sizeof(Unit) == 1) {
        FUZZ_CHECK(counter.escaped(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    } else {
        FUZZ_CHECK(counter.escaped(text.data(), text.size()));
    }
    FUZZ_CHECK(counter.length() == copies * valueReplyLength);
}

template <typename Unit>
void check(const std::basic_string<Unit>& text, uint8_t cuts, uint8_t shortness, bool longCount) {
    wstring value;
    for (const Unit unit : text) {
        if (unit == 0) {
            break;
        }
        value += static_cast<wchar_t>(static_cast<std::make_unsigned_t<Unit>>(unit));
    }
    const wstring reply = encodeString(value);
    if (longCount && !value.empty()) {
        checkLongCount(text.substr(0, value.size()), reply.size() - encodeString(wstring()).size());
    }
    const auto pieces = parts(text, cuts);

    ReplyWriter counter;
    feed(counter, pieces);
    FUZZ_CHECK(counter.length() == reply.size());

    for (const size_t capacity : {reply.size(), reply.size() - reply.size() * shortness / 256}) {
        std::vector<char16_t> buffer(capacity + 1, u'#');
        ReplyWriter writer(buffer.data(), capacity);
        feed(writer, pieces);
        FUZZ_CHECK(writer.length() <= capacity);
        FUZZ_CHECK(buffer[capacity] == u'#');
        FUZZ_CHECK(wstring(buffer.begin(), buffer.begin() + writer.length()) ==
                   reply.substr(0, writer.length()));
        if (capacity == reply.size()) {
            FUZZ_CHECK(writer.length() == reply.size());
        } else if (writer.length() > 8 && writer.length() < reply.size()) {
            // Cut between two characters of the text, never inside an entity.
            const size_t lastAmpersand = reply.rfind(L'&', writer.length() - 1);
            FUZZ_CHECK(lastAmpersand == wstring::npos || reply.find(L';', lastAmpersand) < writer.length());
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    if (data[0] & 0x80) {
        std::u16string units;
        for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
            units += static_cast<char16_t>(static_cast<unsigned char>(bytes[at]) |
                                           static_cast<unsigned char>(bytes[at + 1]) << 8);
        }
        check(units, data[0], data[1], data[0] & 0x40);
    } else {
        check(bytes, data[0], data[1], data[0] & 0x40);
    }
    return 0;
}
