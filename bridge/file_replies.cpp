#include "bridge/file_replies.h"

#include "bridge/codec.h"

#include <limits>
#include <new>
#include <string_view>

namespace {

static_assert(sizeof(OLECHAR) == sizeof(char16_t), "a BSTR holds UTF-16 code units");

// A BSTR of `length` units for the caller to fill; null when the memory is
// not there. SysAllocStringLen(nullptr, n) leaves it uninitialised on
// Windows, but Wine fills it with zeros, one more pass over a reply of
// hundreds of megabytes; growing an empty BSTR leaves it uninitialised on both.
UniqueBstr uninitializedBstr(uint64_t length) {
    UniqueBstr empty(SysAllocStringLen(nullptr, 0));
    BSTR grown = empty.get();
    if (!grown || !fitsInReply(length) || !SysReAllocStringLen(&grown, nullptr, static_cast<UINT>(length))) {
        return {};
    }
    // The empty string was freed by the reallocation.
    empty.release();
    return UniqueBstr(grown);
}

UniqueBstr emptyReply() {
    return UniqueBstr(SysAllocStringLen(L"", 0));
}

// Feeds the text of `file`, from its start, to `writer`; a count stops once
// the reply can no longer fit, so that a huge file is not read to its end
// only to be refused.
void writeText(TextFile& file, ReplyWriter& writer) {
    file.rewind();
    while (const size_t length = file.readChunk()) {
        const bool more =
            file.isUtf16() ? writer.escaped(file.units(), length) : writer.escaped(file.bytes(), length);
        if (!more || !fitsInReply(writer.length())) {
            return;
        }
    }
}

constexpr char stringOpen[] = "<string>";
constexpr char stringClose[] = "</string>";

void writeFileList(const std::u16string& names, ReplyWriter& writer) {
    writer.fragment("<array>");
    uint64_t index = 0;
    for (size_t at = 0; at < names.size(); ++index) {
        const size_t length = std::char_traits<char16_t>::length(names.c_str() + at);
        writer.fragment("<property id='");
        writer.decimal(index);
        writer.fragment("'><string>");
        writer.escaped(names.c_str() + at, length);
        writer.fragment("</string></property>");
        at += length + 1;
    }
    writer.fragment("</array>");
}

} // namespace

bool fitsInReply(uint64_t units) noexcept {
    // What SysAllocStringLen accepts: the byte length, the length prefix and
    // the terminator fit in 32 bits.
    constexpr uint64_t largest =
        (std::numeric_limits<uint32_t>::max() - sizeof(uint32_t) - sizeof(OLECHAR)) / sizeof(OLECHAR) - 1;
    return units <= largest;
}

UniqueBstr fileContentReply(TextFile& file) {
    ReplyWriter counter;
    counter.fragment(stringOpen);
    writeText(file, counter);
    counter.fragment(stringClose);
    UniqueBstr reply = uninitializedBstr(counter.length());
    if (!reply) {
        return emptyReply();
    }
    // The text is given room for what it had when counted, the closing tag
    // goes right after what was written of it.
    const uint64_t closing = std::string_view(stringClose).size();
    ReplyWriter writer(reply.get(), counter.length() - closing);
    writer.fragment(stringOpen);
    writeText(file, writer);
    const uint64_t written = writer.length();
    ReplyWriter(reply.get() + static_cast<size_t>(written), closing).fragment(stringClose);
    if (written + closing == counter.length()) {
        return reply;
    }
    // The file shrank or changed between the passes: the reply is what was
    // read, in a BSTR of its own length.
    return UniqueBstr(SysAllocStringLen(reply.get(), static_cast<UINT>(written + closing)));
}

UniqueBstr fileListReply(const std::u16string& names) {
    ReplyWriter counter;
    writeFileList(names, counter);
    UniqueBstr reply = uninitializedBstr(counter.length());
    if (!reply) {
        throw std::bad_alloc();
    }
    ReplyWriter writer(reply.get(), counter.length());
    writeFileList(names, writer);
    return reply;
}
