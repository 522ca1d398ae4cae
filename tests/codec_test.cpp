#include "bridge/codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using std::wstring;

// A request as the control writes it for a call with these argument elements.
wstring request(const wstring& name, const wstring& arguments) {
    return L"<invoke name=\"" + name + L"\" returntype=\"xml\"><arguments>" + arguments +
           L"</arguments></invoke>";
}

// The replacement rule done literally: erase, insert, go on past the insertion.
wstring quadraticReplace(wstring text, const wstring& from, const wstring& to) {
    size_t position = 0;
    while ((position = text.find(from, position)) != wstring::npos) {
        text.erase(position, from.size());
        text.insert(position, to);
        position += to.size();
    }
    return text;
}

wstring replaced(wstring text, const wstring& from, const wstring& to) {
    replaceAll(text, from, to);
    return text;
}

TEST(RequestCutting, CommandName) {
    EXPECT_EQ(extractCommandName(request(L"getArg", L"")), L"getArg");
    EXPECT_EQ(extractCommandName(L"<invoke name=\"findFiles\" returntype=\"xml\" other=\"x\">"),
              L"findFiles");
    EXPECT_EQ(extractCommandName(L"<invoke name=\"getArg></invoke>"), L"getArg></invoke>");
    EXPECT_EQ(extractCommandName(L"<invoke name=getArg/>"), L"<invoke name=getArg/>");
    EXPECT_EQ(extractCommandName(L"<invoke name=\"\">"), L"");
}

TEST(RequestCutting, ArgumentsSection) {
    EXPECT_EQ(extractArguments(request(L"setVolume", L"<number>5</number>")), L"<number>5</number>");
    EXPECT_EQ(extractArguments(request(L"getArg", L"")), L"");
    EXPECT_EQ(extractArguments(L"<invoke name=\"getArg\" returntype=\"xml\"></invoke>"), L"");
    EXPECT_EQ(extractArguments(L"<invoke><arguments><string>a</string>"), L"<string>a</string>");
    EXPECT_EQ(extractArguments(L"<arguments>a</arguments><arguments>b</arguments>"), L"a");
}

TEST(RequestCutting, FirstArgument) {
    EXPECT_EQ(firstArgumentText(L"<string>abc</string>"), L"abc");
    EXPECT_EQ(firstArgumentText(L"<number>5</number>"), L"5");
    EXPECT_EQ(firstArgumentText(L"<string>C:\\a b.mp3</string><string>x</string>"), L"C:\\a b.mp3");
    EXPECT_EQ(firstArgumentText(L"<string>&amp;&apos;</string>"), L"&amp;&apos;");
    EXPECT_EQ(firstArgumentText(L"<string></string>"), L"");
    EXPECT_EQ(firstArgumentText(L""), L"");
}

TEST(NumberReading, Pairs) {
    struct Case {
        wstring arguments;
        int32_t first;
        int32_t second;
    };
    const Case cases[] = {
        {L"<number>1024</number><number>768</number>", 1024, 768},
        {L"<string>800</string><string>600</string>", 800, 600},
        {L"<number>1024.5</number><number>768</number>", 1024, 768},
        {L"<string> 1024</string><string>\t768</string>", 1024, 768},
        {L"<number>-5</number><number>+7</number>", -5, 7},
        {L"<number>1280</number>", 1280, 0},
        {L"<string>abc</string><string>x1</string>", 0, 0},
        {L"", 0, 0},
    };
    for (const Case& c : cases) {
        const NumberPair pair = readNumberPair(request(L"setResolution", c.arguments));
        EXPECT_EQ(pair.first, c.first) << testing::PrintToString(c.arguments);
        EXPECT_EQ(pair.second, c.second) << testing::PrintToString(c.arguments);
    }
    const NumberPair none = readNumberPair(L"<invoke name=\"getArg\" returntype=\"xml\"></invoke>");
    EXPECT_EQ(none.first, 0);
    EXPECT_EQ(none.second, 0);
}

TEST(NumberReading, Integers) {
    constexpr int32_t largest = std::numeric_limits<int32_t>::max();
    constexpr int32_t smallest = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(readInteger(L"50"), 50);
    EXPECT_EQ(readInteger(L" \t\n\v\f\r42x"), 42);
    EXPECT_EQ(readInteger(L"-0"), 0);
    EXPECT_EQ(readInteger(L"007"), 7);
    EXPECT_EQ(readInteger(L""), 0);
    EXPECT_EQ(readInteger(L"-"), 0);
    EXPECT_EQ(readInteger(L"- 5"), 0);
    EXPECT_EQ(readInteger(L"+-5"), 0);
    EXPECT_EQ(readInteger(L"x5"), 0);
    EXPECT_EQ(readInteger(L"2147483647"), largest);
    EXPECT_EQ(readInteger(L"-2147483648"), smallest);
    EXPECT_EQ(readInteger(L"2147483648"), largest);
    EXPECT_EQ(readInteger(L"-2147483649"), smallest);
    EXPECT_EQ(readInteger(L"99999999999999999999999999"), largest);
    EXPECT_EQ(readInteger(L"-99999999999999999999999999"), smallest);
}

TEST(TitleProperty, Cases) {
    EXPECT_EQ(extractTitleProperty(L""), L"Select File...");
    EXPECT_EQ(
        extractTitleProperty(L"<object><property id=\"filter\"><string>*.mp3</string></property></object>"),
        L"Select File...");
    EXPECT_EQ(extractTitleProperty(
                  L"<object><property id=\"title\"><string>Pick a song</string></property></object>"),
              L"Pick a song");
    EXPECT_EQ(extractTitleProperty(L"<object><property id=\"filter\"><string>a</string></property>"
                                   L"<property id=\"title\"><string>Music</string></property></object>"),
              L"Music");
    EXPECT_EQ(extractTitleProperty(L"<object><property id=\"title\"><string></string></property></object>"),
              L"");
    EXPECT_EQ(extractTitleProperty(L"<object><property id=\"title\"><string/></property></object>"), L"");
    EXPECT_EQ(extractTitleProperty(L"<string>title</string>"), L"Select File...");
}

TEST(ReplaceAll, NoRescan) {
    EXPECT_EQ(replaced(L"&amp;amp;", L"&amp;", L"&"), L"&amp;");
    EXPECT_EQ(replaced(L"&amp;apos;", L"&amp;", L"&"), L"&apos;");
    EXPECT_EQ(replaced(replaced(L"&amp;apos;", L"&amp;", L"&"), L"&apos;", L"'"), L"'");
    EXPECT_EQ(replaced(L"aaa", L"a", L"aa"), L"aaaaaa");
    EXPECT_EQ(replaced(L"&amp;&amp;&amp;", L"&amp;", L"&"), L"&&&");
    EXPECT_EQ(replaced(L"abab", L"ab", L""), L"");
    EXPECT_EQ(replaced(L"no match", L"&amp;", L"&"), L"no match");
    EXPECT_EQ(replaced(L"", L"&amp;", L"&"), L"");
}

TEST(ReplaceAll, EmptyFromLeavesText) {
    EXPECT_EQ(replaced(L"abc", L"", L"x"), L"abc");
    EXPECT_EQ(replaced(L"", L"", L"x"), L"");
}

TEST(ReplaceAll, MatchesLiteralRule) {
    struct Case {
        wstring text;
        wstring from;
        wstring to;
    };
    const Case cases[] = {
        {L"&amp;amp;amp;", L"&amp;", L"&"},
        {L"aaaa", L"aa", L"a"},
        {L"aaaaa", L"aa", L"aaa"},
        {L"xyxyx", L"xyx", L"-"},
        {L"&apos;&apos;x&apos;", L"&apos;", L"'"},
        {L"abc", L"abc", L"abcabc"},
        {L"abc", L"abcd", L"x"},
        {L"a&b", L"&", L"&amp;"},
        {L"tail match", L"match", L"M"},
        {L"\x00e9t\x00e9", L"\x00e9", L"e"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(replaced(c.text, c.from, c.to), quadraticReplace(c.text, c.from, c.to))
            << testing::PrintToString(c.text) << " " << testing::PrintToString(c.from);
    }
}

TEST(ReplyForms, Scalars) {
    EXPECT_EQ(encodeString(L"line one\nline two"), L"<string>line one\nline two</string>");
    EXPECT_EQ(encodeString(L""), L"<string></string>");
    EXPECT_EQ(encodeString(L"it's \"quoted\""), L"<string>it's \"quoted\"</string>");
    EXPECT_EQ(encodeBoolean(true), L"<true/>");
    EXPECT_EQ(encodeBoolean(false), L"<false/>");
    EXPECT_EQ(encodeNumber(int32_t{-1}), L"<number>-1</number>");
    EXPECT_EQ(encodeNumber(int32_t{0}), L"<number>0</number>");
    EXPECT_EQ(encodeNumber(int32_t{1234567}), L"<number>1234567</number>");
    EXPECT_EQ(encodeNumber(std::numeric_limits<int32_t>::min()), L"<number>-2147483648</number>");
    EXPECT_EQ(encodeNumber(uint32_t{100}), L"<number>100</number>");
    EXPECT_EQ(encodeNumber(4294967295u), L"<number>4294967295</number>");
}

TEST(ReplyForms, RealNumbers) {
    EXPECT_EQ(encodeNumber(4.0f / 3.0f), L"<number>1.33333</number>");
    EXPECT_EQ(encodeNumber(16.0f / 9.0f), L"<number>1.77778</number>");
    EXPECT_EQ(encodeNumber(16.0f / 10.0f), L"<number>1.6</number>");
    EXPECT_EQ(encodeNumber(5.0f / 4.0f), L"<number>1.25</number>");
    EXPECT_EQ(encodeNumber(0.0f), L"<number>0</number>");
    EXPECT_EQ(encodeNumber(2.0f), L"<number>2</number>");
    EXPECT_EQ(encodeNumber(-0.5f), L"<number>-0.5</number>");
    EXPECT_EQ(encodeNumber(1234567.0f), L"<number>1.23457e+06</number>");
}

TEST(ReplyForms, StringArrays) {
    const std::vector<wstring> items = {L"a.mp3", L"C:\\Music\\b c.mp3", L""};
    EXPECT_EQ(encodeStringArray(items, ReplyQuote::Double),
              L"<array><property id=\"0\"><string>a.mp3</string></property>"
              L"<property id=\"1\"><string>C:\\Music\\b c.mp3</string></property>"
              L"<property id=\"2\"><string></string></property></array>");
    EXPECT_EQ(encodeStringArray(items, ReplyQuote::Single),
              L"<array><property id='0'><string>a.mp3</string></property>"
              L"<property id='1'><string>C:\\Music\\b c.mp3</string></property>"
              L"<property id='2'><string></string></property></array>");
    EXPECT_EQ(encodeStringArray({}, ReplyQuote::Double), L"<array></array>");
    EXPECT_EQ(encodeStringArray({}, ReplyQuote::Single), L"<array></array>");
    const std::vector<wstring> many(11, L"x");
    EXPECT_NE(encodeStringArray(many, ReplyQuote::Single)
                  .find(L"<property id='10'><string>x</string></property></array>"),
              wstring::npos);
}

TEST(ReplyForms, SizeObject) {
    EXPECT_EQ(encodeSizeObject(1280, 1024),
              L"<object><property id=\"width\"><number>1280</number></property>"
              L"<property id=\"height\"><number>1024</number></property></object>");
    EXPECT_EQ(encodeSizeObject(-1, 0), L"<object><property id=\"width\"><number>-1</number></property>"
                                       L"<property id=\"height\"><number>0</number></property></object>");
}

TEST(ReplyEscaping, MarkupInValues) {
    EXPECT_EQ(encodeString(L"a&b<c>d"), L"<string>a&amp;b&lt;c&gt;d</string>");
    EXPECT_EQ(encodeString(L"&amp;"), L"<string>&amp;amp;</string>");
    EXPECT_EQ(encodeString(L"</string>"), L"<string>&lt;/string&gt;</string>");
    EXPECT_EQ(encodeStringArray({L"a&b<c>d", L"&amp;"}, ReplyQuote::Single),
              L"<array><property id='0'><string>a&amp;b&lt;c&gt;d</string></property>"
              L"<property id='1'><string>&amp;amp;</string></property></array>");
    EXPECT_EQ(encodeStringArray({L"a&b<c>d"}, ReplyQuote::Double),
              L"<array><property id=\"0\"><string>a&amp;b&lt;c&gt;d</string></property></array>");
}

// What a ReplyWriter made of "<string>", the parts of a value and
// "</string>", in a buffer of `capacity` units (none: counting only).
struct Written {
    uint64_t length;
    wstring text;
};

template <typename Unit>
Written writeString(const std::vector<std::basic_string<Unit>>& parts, size_t capacity) {
    std::vector<char16_t> buffer(capacity + 1, u'#');
    ReplyWriter writer = capacity ? ReplyWriter(buffer.data(), capacity) : ReplyWriter();
    writer.fragment("<string>");
    for (const auto& part : parts) {
        const bool more = [&] {
            if constexpr (sizeof(Unit) == 1) {
                return writer.escaped(reinterpret_cast<const unsigned char*>(part.data()), part.size());
            } else {
                return writer.escaped(part.data(), part.size());
            }
        }();
        if (!more) {
            break;
        }
    }
    writer.fragment("</string>");
    EXPECT_EQ(u'#', buffer[capacity]) << "written past the buffer";
    return {writer.length(),
            wstring(buffer.begin(), buffer.begin() + std::min<size_t>(capacity, writer.length()))};
}

// Every way to cut the text in two, and in single characters.
template <typename Unit>
std::vector<std::vector<std::basic_string<Unit>>> cuts(const std::basic_string<Unit>& text) {
    std::vector<std::vector<std::basic_string<Unit>>> all;
    for (size_t at = 0; at <= text.size(); ++at) {
        all.push_back({text.substr(0, at), text.substr(at)});
    }
    std::vector<std::basic_string<Unit>> single;
    for (const Unit c : text) {
        single.push_back(std::basic_string<Unit>(1, c));
    }
    all.push_back(single);
    return all;
}

template <typename Unit> void expectPartsMake(const std::basic_string<Unit>& text, const wstring& reply) {
    for (const auto& cut : cuts(text)) {
        EXPECT_EQ(reply.size(), writeString(cut, 0).length);
        EXPECT_EQ(reply, writeString(cut, reply.size()).text);
    }
}

// The reply is counted and then written in parts as encodeString builds it
// whole; the text ends at its first NUL, whichever part holds it.
TEST(ReplyWriting, PartsMakeTheReplyEncodeStringMakes) {
    // Long enough for the wide scans' blocks, with markup on both sides of a block's end.
    const std::string head = "plain text & more <tags> " + std::string(40, 'x') + "\xE9\xFF>&<tail";
    const std::string narrow = head + std::string(1, '\0') + "after the end & <";
    const wstring narrowText = L"plain text & more <tags> " + wstring(40, L'x') + L"\x00E9\x00FF>&<tail";
    expectPartsMake(narrow, encodeString(narrowText));

    std::u16string wide = u"\x4E2D";
    for (const char c : narrow) {
        wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    expectPartsMake(wide, encodeString(L"\x4E2D" + narrowText));
}

// A buffer shorter than the reply (its text changed between the passes) gets
// a beginning of the reply, whole entities only, and nothing past its end.
TEST(ReplyWriting, AShortBufferIsFilledWithWholeEntitiesOnly) {
    const std::vector<std::string> text = {"a&b<"};
    const wstring reply = L"<string>a&amp;b&lt;</string>";
    for (size_t capacity = 1; capacity < reply.size(); ++capacity) {
        const Written written = writeString(text, capacity);
        EXPECT_LE(written.length, capacity);
        EXPECT_EQ(reply.substr(0, written.length), written.text);
    }
    // "<string>a" and then "&amp;" does not fit: it is left out whole.
    EXPECT_EQ(L"<string>a", writeString(text, 12).text);
    EXPECT_EQ(L"<string>a&amp;", writeString(text, 14).text);
}

TEST(ReplyWriting, FragmentsAndNumbers) {
    std::vector<char16_t> buffer(40);
    ReplyWriter writer(buffer.data(), buffer.size());
    writer.fragment("<property id='");
    writer.decimal(0);
    writer.fragment("'>");
    writer.decimal(std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(u"<property id='0'>18446744073709551615", std::u16string(buffer.data(), writer.length()));
}

} // namespace
