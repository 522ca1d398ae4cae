// showSelectDialog end to end: the real program's open-file dialog, driven by
// the stand-in movie's dialog steps, and the paths it replies with.
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Lines = std::vector<std::string>;

// Owned by the host's main window.
const std::string opened = "dialog caption=\"Select File...\" types=\"MP3 Files (*.mp3)\" owner=\"AtlWin\"";

std::string array(const Lines& paths) {
    std::string text = "<array>";
    for (size_t i = 0; i < paths.size(); ++i) {
        text += "<property id=\"" + std::to_string(i) + "\"><string>" + paths[i] + "</string></property>";
    }
    return text + "</array>";
}

// The lines of `run` after start-up, up to the movie's quit, without their
// indentation.
Lines movieLines(const HostRun& run) {
    Lines lines;
    for (const std::string& line : afterStartup(run)) {
        if (line == "event FSCommand quit") {
            break;
        }
        lines.push_back(line.substr(line.find_first_not_of(' ')));
    }
    return lines;
}

class SelectDialogCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        music_ = folder_.path() + L"\\music";
        ASSERT_TRUE(CreateDirectoryW(music_.c_str(), nullptr));
    }
    void TearDown() override {
        for (const std::wstring& file : files_) {
            DeleteFileW(file.c_str());
        }
        RemoveDirectoryW(music_.c_str());
    }
    std::string makeFile(const std::wstring& path) {
        writeUtf8File(path, "ID3");
        files_.push_back(path);
        return utf8(path);
    }
    std::string song(const std::wstring& name) { return makeFile(music_ + L"\\" + name); }
    HostRun run(const Lines& steps) {
        std::string script;
        for (const std::string& step : steps) {
            script += step + "\n";
        }
        return folder_.run(script + "fscommand quit\n");
    }

    ProgramFolder folder_;
    std::wstring music_;
    std::vector<std::wstring> files_;
};

const std::string noArgument = flashCallRequest("showSelectDialog");

TEST_F(SelectDialogCommand, OneFileGivesItsFullPath) {
    const std::string path = song(L"one.mp3");
    const HostRun result = run({"dialog choose " + path, "flashcall " + noArgument});
    EXPECT_EQ(
        (Lines{"event FlashCall " + noArgument, opened, "dialog chose " + path, "reply " + array({path})}),
        movieLines(result));
    EXPECT_EQ(1u, result.exitCode);
}

TEST_F(SelectDialogCommand, SeveralFilesAreFolderBackslashNameInTheDialogsOrder) {
    const std::string one = song(L"one.mp3");
    const std::string two = song(L"two.mp3");
    const std::string three = song(L"three.mp3");
    makeFile(music_ + L"\\notes.txt");
    const std::string folder = utf8(music_);
    const std::string choose = folder + " \"three.mp3\" \"one.mp3\" \"two.mp3\"";
    const HostRun result = run({"dialog choose " + choose, "flashcall " + noArgument});
    // Only MP3 files are listed.
    EXPECT_EQ((Lines{"event FlashCall " + noArgument, opened, "dialog chose " + choose,
                     "dialog lists one.mp3|three.mp3|two.mp3", "reply " + array({three, one, two})}),
              movieLines(result));
}

TEST_F(SelectDialogCommand, FilesInADriveRootGetOneBackslash) {
    const std::string first = makeFile(L"C:\\gamehost-test-first.mp3");
    const std::string second = makeFile(L"C:\\gamehost-test-second.mp3");
    const std::string choose = "C:\\ \"gamehost-test-first.mp3\" \"gamehost-test-second.mp3\"";
    const HostRun result = run({"dialog choose " + choose, "flashcall " + noArgument,
                                "dialog choose " + first, "flashcall " + noArgument});
    const Lines lines = movieLines(result);
    ASSERT_EQ(9u, lines.size()) << ::testing::PrintToString(lines);
    EXPECT_EQ("dialog chose " + choose, lines[2]);
    EXPECT_EQ(0u, lines[3].find("dialog lists ")) << lines[3];
    EXPECT_EQ("reply " + array({first, second}), lines[4]);
    EXPECT_EQ(
        (Lines{"event FlashCall " + noArgument, opened, "dialog chose " + first, "reply " + array({first})}),
        Lines(lines.begin() + 5, lines.end()));
}

TEST_F(SelectDialogCommand, CancelGivesAnEmptyArray) {
    const HostRun result = run({"dialog cancel", "flashcall " + noArgument});
    EXPECT_EQ((Lines{"event FlashCall " + noArgument, opened, "dialog cancelled", "reply <array></array>"}),
              movieLines(result));
}

TEST_F(SelectDialogCommand, TitleComesFromTheObjectsTitlePropertyUndecoded) {
    const std::string titled =
        flashCallRequest("showSelectDialog",
                         "<object><property id=\"title\"><string>Pick a song</string></property></object>");
    const std::string entity = flashCallRequest(
        "showSelectDialog",
        "<object><property id=\"title\"><string>Rock &amp; roll</string></property></object>");
    const std::string untitled = flashCallRequest(
        "showSelectDialog", "<object><property id=\"name\"><string>Pick</string></property></object>");
    const std::string plain = flashCallRequest("showSelectDialog", "<string>Pick a song</string>");
    const std::string types = " types=\"MP3 Files (*.mp3)\" owner=\"AtlWin\"";
    const HostRun result =
        run({"dialog cancel", "flashcall " + titled, "dialog cancel", "flashcall " + entity, "dialog cancel",
             "flashcall " + untitled, "dialog cancel", "flashcall " + plain, "dialog cancel",
             "flashcall " + noArgument});
    const std::string cancelled = "dialog cancelled";
    const std::string empty = "reply <array></array>";
    EXPECT_EQ((Lines{"event FlashCall " + titled,
                     "dialog caption=\"Pick a song\"" + types,
                     cancelled,
                     empty,
                     "event FlashCall " + entity,
                     "dialog caption=\"Rock &amp; roll\"" + types,
                     cancelled,
                     empty,
                     "event FlashCall " + untitled,
                     opened,
                     cancelled,
                     empty,
                     "event FlashCall " + plain,
                     opened,
                     cancelled,
                     empty,
                     "event FlashCall " + noArgument,
                     opened,
                     cancelled,
                     empty}),
              movieLines(result));
}

TEST_F(SelectDialogCommand, PathsAreEscapedInTheReply) {
    const std::string rock = song(L"rock&roll.mp3");
    const std::string other = song(L"b&b.mp3");
    const std::string folder = utf8(music_);
    const std::string choose = folder + " \"rock&roll.mp3\" \"b&b.mp3\"";
    const HostRun result = run({"dialog choose " + rock, "flashcall " + noArgument, "dialog choose " + choose,
                                "flashcall " + noArgument});
    const Lines replies = [&] {
        Lines found;
        for (const std::string& line : movieLines(result)) {
            if (line.rfind("reply ", 0) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }();
    EXPECT_EQ((Lines{"reply " + array({folder + "\\rock&amp;roll.mp3"}),
                     "reply " + array({folder + "\\rock&amp;roll.mp3", folder + "\\b&amp;b.mp3"})}),
              replies);
}

} // namespace
