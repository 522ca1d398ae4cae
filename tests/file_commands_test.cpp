// findFiles and getFileContent end to end: files the test makes in the
// program folder, read by the real program at the stand-in movie's request.
#include "bridge/file_replies.h"
#include "desktop/files.h"
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// A request with one string argument.
std::string flashCall(const std::string& name, const std::string& argument) {
    return flashCallRequest(name, "<string>" + argument + "</string>");
}

// The replies of a run, in order.
Lines replies(const HostRun& run) {
    Lines found;
    for (const std::string& line : run.log) {
        if (line.rfind("  reply", 0) == 0) {
            found.push_back(line.substr(2));
        }
    }
    return found;
}

std::string script(const Lines& requests) {
    std::string text;
    for (const std::string& request : requests) {
        text += "flashcall " + request + "\n";
    }
    return text + "fscommand quit\n";
}

class FileCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        data_ = folder_.path() + L"\\data";
        ASSERT_TRUE(CreateDirectoryW(data_.c_str(), nullptr));
    }
    void TearDown() override {
        for (const std::wstring& file : files_) {
            SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(file.c_str());
            RemoveDirectoryW(file.c_str());
        }
        RemoveDirectoryW(data_.c_str());
    }
    void makeFile(const std::wstring& path, const std::string& bytes) {
        writeUtf8File(path, bytes);
        files_.push_back(path);
    }
    void makeFolder(const std::wstring& path, DWORD attributes) {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        SetFileAttributesW(path.c_str(), attributes);
        files_.push_back(path);
    }
    HostRun run(const Lines& requests) { return folder_.run(script(requests)); }

    ProgramFolder folder_;
    std::wstring data_;
    std::vector<std::wstring> files_;
};

TEST_F(FileCommands, FindFilesListsFilesButNoFolders) {
    makeFile(data_ + L"\\a&b'c.txt", "x");
    makeFolder(data_ + L"\\plain", FILE_ATTRIBUTE_DIRECTORY);
    makeFolder(data_ + L"\\readonly", FILE_ATTRIBUTE_READONLY);
    makeFolder(data_ + L"\\hidden", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    const std::string data = utf8(data_);
    const HostRun result =
        run({flashCall("findFiles", data + "\\*"), flashCall("findFiles", data + "\\*.none"),
             flashCall("findFiles", ""), flashCall("findFiles", "data\\*.txt"),
             flashCall("findFiles", data + "\\a&amp;b*")});
    const std::string listed =
        "reply <array><property id='0'><string>a&amp;b'c.txt</string></property></array>";
    EXPECT_EQ(
        (Lines{listed, "reply <array></array>", "reply <array></array>", listed, "reply <array></array>"}),
        replies(result));
}

TEST_F(FileCommands, FindFilesNumbersEntriesWithoutGaps) {
    for (const wchar_t* name : {L"one.mp3", L"two.mp3", L"three.mp3"}) {
        makeFile(data_ + L"\\" + name, "x");
    }
    makeFolder(data_ + L"\\folder.mp3", FILE_ATTRIBUTE_DIRECTORY);
    const Lines found = replies(run({flashCall("findFiles", utf8(data_) + "\\*.mp3")}));
    ASSERT_EQ(1u, found.size());
    for (const char* id : {"id='0'", "id='1'", "id='2'"}) {
        EXPECT_NE(std::string::npos, found[0].find(id)) << found[0];
    }
    EXPECT_EQ(std::string::npos, found[0].find("id='3'"));
    EXPECT_EQ(std::string::npos, found[0].find("folder.mp3"));
}

TEST_F(FileCommands, GetFileContentReadsBothEncodings) {
    makeFile(data_ + L"\\wide.txt", std::string("\xFF\xFEh\0i\0\0\0x\0", 10));
    makeFile(data_ + L"\\narrow.txt", std::string("caf\xE9 ok\0tail", 12));
    makeFile(data_ + L"\\empty.txt", "");
    makeFile(data_ + L"\\markup.txt", "a<b>&amp;c");
    const std::string data = utf8(data_);
    const HostRun result = run(
        {flashCall("getFileContent", data + "\\wide.txt"), flashCall("getFileContent", data + "\\narrow.txt"),
         flashCall("getFileContent", data + "\\empty.txt"),
         flashCall("getFileContent", data + "\\markup.txt"),
         flashCall("getFileContent", data + "\\missing.txt"), flashCall("getFileContent", "")});
    EXPECT_EQ((Lines{"reply <string>hi</string>", "reply <string>caf\xC3\xA9 ok</string>",
                     "reply <string></string>", "reply <string>a&lt;b&gt;&amp;amp;c</string>", "reply ",
                     "reply <string>true</string>"}),
              replies(result));
}

// Files shorter than a mark, a mark alone, a mark with an odd byte after it,
// and the two mark bytes the wrong way round.
TEST_F(FileCommands, GetFileContentReadsFilesAroundTheMarksLength) {
    const Lines contents = {std::string("x"),
                            std::string("\xFF"),
                            std::string("ab"),
                            std::string("\xFF\xFE"),
                            std::string("\xFF\xFEh\0i", 5),
                            std::string("\xFE\xFFz")};
    Lines requests;
    for (size_t i = 0; i < contents.size(); ++i) {
        const std::wstring name = data_ + L"\\short" + std::to_wstring(i) + L".txt";
        makeFile(name, contents[i]);
        requests.push_back(flashCall("getFileContent", utf8(name)));
    }
    const HostRun result = run(requests);
    EXPECT_EQ((Lines{"reply <string>x</string>", "reply <string>\xC3\xBF</string>",
                     "reply <string>ab</string>", "reply <string></string>", "reply <string>h</string>",
                     "reply <string>\xC3\xBE\xC3\xBFz</string>"}),
              replies(result));
}

TEST_F(FileCommands, GetFileContentDecodesItsPathAndReadsRelativeToTheProgram) {
    makeFile(folder_.path() + L"\\data's.txt", "quoted");
    makeFile(data_ + L"\\inner.txt", "inner");
    TempFolder elsewhere;
    folder_.setWorkingFolder(elsewhere.path());
    const HostRun result = run({flashCall("getFileContent", "data&amp;apos;s.txt"),
                                flashCall("getFileContent", "data\\inner.txt"),
                                flashCall("getFileContent", "\\data\\inner.txt")});
    // A leading backslash is not a drive: it too is read from the program folder.
    EXPECT_EQ((Lines{"reply <string>quoted</string>", "reply <string>inner</string>",
                     "reply <string>inner</string>"}),
              replies(result));
}

// CON, NUL, COM1 and the like name a device in any folder, with any
// extension, and a read of a serial port waits for data that may never come:
// a device gets the reply of a file that cannot be read, at once. Opening
// one already acts on it (a serial port's control lines rise, a pipe's server
// gets a client), so a device is never opened: the stand-in watches the
// program's own opens, and the test's pipe server sees no client. On the
// bench only NUL would open (a GUI process has no console, the prefix no
// COM ports); on a PC with a Bluetooth or USB serial port COM1 or COM3 would.
TEST_F(FileCommands, GetFileContentRefusesDevicesUnopened) {
    makeFile(data_ + L"\\a.txt", "x");
    const std::wstring pipe = L"\\\\.\\pipe\\gamehost-file-test";
    const UniqueFile server(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr));
    ASSERT_TRUE(server);
    const std::string file = utf8(data_) + "\\a.txt";
    const HostRun result = folder_.run(
        "watch opens\n" +
        script({flashCall("getFileContent", file), flashCall("getFileContent", "NUL"),
                flashCall("getFileContent", "CON"), flashCall("getFileContent", "save\\COM3"),
                flashCall("getFileContent", "COM1"), flashCall("getFileContent", "nul.txt"),
                flashCall("getFileContent", "C:\\x\\com1.log"), flashCall("getFileContent", utf8(pipe))}));
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ((Lines{"reply <string>x</string>", "reply ", "reply ", "reply ", "reply ", "reply ", "reply ",
                     "reply "}),
              replies(result));
    Lines opened;
    std::copy_if(result.log.begin(), result.log.end(), std::back_inserter(opened),
                 [](const std::string& line) { return line.rfind("  open ", 0) == 0; });
    EXPECT_EQ(Lines{"  open " + file}, opened);
    // A client that came and went would have left the pipe closed, and
    // ConnectNamedPipe would say so at once; with none it waits.
    const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    EXPECT_FALSE(ConnectNamedPipe(server.get(), &overlapped));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError()) << "a client connected";
    CancelIo(server.get());
    DWORD transferred = 0;
    GetOverlappedResult(server.get(), &overlapped, &transferred, TRUE);
}

// The file namespace's drive and share paths are files; every other path
// there, and the device namespace, may be a device.
TEST(DevicePaths, AreToldFromFilePaths) {
    for (const wchar_t* file :
         {L"C:\\save\\a.txt", L"\\\\?\\C:\\save\\a.txt", L"\\\\?\\UNC\\server\\share\\a.txt",
          L"\\\\server\\share\\a.txt", L"C:\\save\\com10.txt", L"C:\\save\\console.txt",
          L"C:\\save\\nullable", L"C:\\con\\a.txt"}) {
        EXPECT_FALSE(namesADevice(file)) << utf8(file);
    }
    for (const wchar_t* device :
         {L"\\\\.\\pipe\\x", L"//./pipe/x", L"\\\\.\\C:\\a.txt", L"\\\\?\\pipe\\x", L"\\\\?\\C:",
          L"\\??\\C:\\a.txt", L"C:\\save\\COM1", L"C:\\save\\nul.txt", L"C:\\x\\com1.log", L"C:\\save\\Lpt9",
          L"C:\\save\\aux .txt", L"C:\\save\\prn:stream", L"C:\\save\\CONIN$", L"\\\\?\\C:\\save\\con"}) {
        EXPECT_TRUE(namesADevice(device)) << utf8(device);
    }
}

// A file read in chunks far smaller than its text: chunks end inside a UTF-16
// unit, on either side of a markup character, and before the first NUL. The
// reply is the one a whole read gives.
TEST(FileContentReply, IsTheSameWhereverTheChunksEnd) {
    TempFolder folder;
    const std::string narrow = std::string("ab&c<d>e\xE9", 9) + std::string(1, '\0') + "zz";
    std::string wide = "\xFF\xFE";
    for (const char c : std::string("ab&c<d>e\xE9", 9)) {
        wide += c;
        wide += '\0';
    }
    wide += std::string("\x2D\x4E\0\0z\0z", 8);
    const struct {
        const wchar_t* name;
        std::string bytes;
        std::wstring reply;
    } files[] = {
        {L"\\narrow.txt", narrow, L"<string>ab&amp;c&lt;d&gt;e\x00E9</string>"},
        {L"\\wide.txt", wide, L"<string>ab&amp;c&lt;d&gt;e\x00E9\x4E2D</string>"},
        // A last odd byte is dropped.
        {L"\\odd.txt", std::string("\xFF\xFEo\0k\0!", 7), L"<string>ok</string>"},
    };
    for (const auto& file : files) {
        writeUtf8File(folder.path() + file.name, file.bytes);
        for (const size_t chunk : {1, 2, 3, 7, 4096}) {
            std::optional<TextFile> text = TextFile::open(folder.path() + file.name, chunk);
            ASSERT_TRUE(text);
            const UniqueBstr reply = fileContentReply(*text);
            EXPECT_EQ(file.reply, std::wstring(reply.get(), SysStringLen(reply.get())))
                << utf8(file.name) << " in chunks of " << chunk;
        }
    }
}

// Another program appends to a UTF-16 file between the count of the reply and
// its write, here the second half of a surrogate pair whose first half was
// there when counted. The file is read again; one that changes at every pass
// is refused. A reply is never a cut text.
TEST(FileChangedWhileRead, IsReadAgainOnceThenRefused) {
    TempFolder folder;
    const std::wstring path = folder.path() + L"\\growing.txt";
    for (const int changes : {1, 2}) {
        writeUtf8File(path, std::string("\xFF\xFEx\0\x3D\xD8", 6));
        std::optional<TextFile> text = TextFile::open(path);
        ASSERT_TRUE(text);
        int passes = 0;
        // Each reading counts, then writes: passes 2 and 4 are the writes.
        text->rewinding = [&] {
            if (++passes % 2 == 0 && passes / 2 <= changes) {
                UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
                DWORD written = 0;
                ASSERT_TRUE(WriteFile(file.get(), "\x00\xDEy\0", 4, &written, nullptr));
            }
        };
        const UniqueBstr reply = fileContentReply(*text);
        EXPECT_EQ(changes == 1 ? std::wstring(L"<string>x\xD83D\xDE00y</string>") : std::wstring(),
                  std::wstring(reply.get(), SysStringLen(reply.get())))
            << changes << " changes";
    }
}

// A reply longer than a BSTR can hold is refused whole (the empty reply of an
// unreadable file), never cut: sizes near and past 4 Gi bytes included, which a
// 32-bit size_t would wrap around.
TEST(NoTruncatedFileText, RepliesNoBstrCanHoldAreRefusedWhole) {
    constexpr uint64_t largest = 0x7FFFFFFB;
    EXPECT_TRUE(fitsInReply(0));
    EXPECT_TRUE(fitsInReply(64 * 1024 * 1024));
    EXPECT_TRUE(fitsInReply(largest));
    EXPECT_FALSE(fitsInReply(largest + 1));
    EXPECT_FALSE(fitsInReply(uint64_t{1} << 32));
    EXPECT_FALSE(fitsInReply((uint64_t{1} << 32) + 17));
    EXPECT_FALSE(fitsInReply(UINT64_MAX));
}

} // namespace
