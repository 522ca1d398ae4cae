#include "bridge/file_replies.h"

#include "bridge/codec.h"

#include <limits>
#include <new>
#include <utility>

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

// The reply from one count and one write into a BSTR of the length counted;
// null when it would not fit in a BSTR or the memory is not there. `changed`
// when the file is not as it was counted: its version moved, or its text
// came out of another length (the BSTR then holds a cut text).
UniqueBstr countedReply(TextFile& file, bool& changed) {
    const TextFile::Version before = file.version();
    ReplyWriter counter;
    counter.fragment(stringOpen);
    writeText(file, counter);
    counter.fragment(stringClose);
    UniqueBstr reply = uninitializedBstr(counter.length());
    if (!reply) {
        return reply;
    }
    ReplyWriter writer(reply.get(), counter.length());
    writer.fragment(stringOpen);
    writeText(file, writer);
    writer.fragment(stringClose);
    changed = writer.full() || writer.length() != counter.length() || !(file.version() == before);
    return reply;
}

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
    // A file that a log or a sync client changes while it is read is read
    // once more; changed again, it is refused like an unreadable one rather
    // than sent cut.
    for (int reading = 0; reading < 2; ++reading) {
        bool changed = false;
        UniqueBstr reply = countedReply(file, changed);
        if (!changed) {
            return reply ? std::move(reply) : emptyReply();
        }
    }
    return emptyReply();
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
