// A broken player and a hostile movie against the real program: failing
// calls, calls made back into the host from inside its own calls into the
// movie, arguments that are not strings, huge requests and garbage for every
// command. Whatever happens, the program must not crash, its Invoke must
// answer S_OK, no request may get two replies, and the desktop must get its
// display mode back.
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// What no run may log, whatever it is fed.
void expectNoBrokenRule(const HostRun& run) {
    for (const std::string& line : run.log) {
        EXPECT_EQ(std::string::npos, line.find("invoke returned")) << line;
        EXPECT_EQ(std::string::npos, line.find("reply set")) << line;
        EXPECT_EQ(std::string::npos, line.find("bad step")) << line;
        EXPECT_EQ(std::string::npos, line.find("bad odd event")) << line;
    }
}

// Runs the script, which must end with the movie's quit.
HostRun runToTheQuit(const std::string& script, const Environment& environment = {}) {
    ProgramFolder folder;
    const HostRun run = folder.run(script, environment);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(desktopMode, currentDisplayMode());
    expectNoBrokenRule(run);
    return run;
}

// The start of `request`, up to `marker`.
std::string cutBefore(const std::string& request, const std::string& marker) {
    return request.substr(0, request.find(marker));
}

// The desktop's own size, whatever mode the game has set.
const std::string screenResolutionReply = "<object><property id=\"width\"><number>1280</number></property>"
                                          "<property id=\"height\"><number>1024</number></property></object>";

struct FailureForm {
    const char* name;
    const wchar_t* mode;
};

void PrintTo(const FailureForm& form, std::ostream* out) {
    *out << form.name;
}

class FailingCalls : public ::testing::TestWithParam<FailureForm> {
  protected:
    Environment failing(const wchar_t* call) const {
        return {{L"STANDIN_FAIL", call}, {L"STANDIN_FAIL_MODE", GetParam().mode}};
    }
};

TEST_P(FailingCalls, EveryCallIntoTheMovieFailingLeavesTheGameRunning) {
    const std::string failure = "fail CallFunction 0x80004005";
    const HostRun run = runToTheQuit("send WM_ACTIVATEAPP 0 0\nsend WM_ACTIVATE WA_ACTIVE 0\n"
                                     "post WM_RBUTTONDOWN 0 0\nprobe mode\nfscommand quit\n",
                                     failing(L"CallFunction"));
    EXPECT_EQ((Lines{"send WM_ACTIVATEAPP 0 0", gameMinimized, failure, "send WM_ACTIVATE WA_ACTIVE 0",
                     gameMaximized, failure, "post WM_RBUTTONDOWN 0 0", rightClick, failure,
                     "probe mode current=1024x768x32 registry=1280x1024x32", "event FSCommand quit",
                     "  " + windowClose, "  " + failure, "close", "release"}),
              afterStartup(run));
}

TEST_P(FailingCalls, AFailingReplyIsNotRetriedAndTheNextRequestIsServed) {
    const HostRun run = runToTheQuit("flashcall " + flashCallRequest("getScreenResolution") + "\nflashcall " +
                                         flashCallRequest("getArg") + "\nfscommand quit\n",
                                     failing(L"SetReturnValue"));
    EXPECT_EQ((Lines{"event FlashCall " + flashCallRequest("getScreenResolution"),
                     "  reply " + screenResolutionReply, "  fail SetReturnValue 0x80004005", "no reply",
                     "event FlashCall " + flashCallRequest("getArg"), "  reply <array></array>",
                     "  fail SetReturnValue 0x80004005", "no reply"} +
               quitting),
              afterStartup(run));
}

INSTANTIATE_TEST_SUITE_P(Forms, FailingCalls,
                         ::testing::Values(FailureForm{"Hresult", L"hresult"},
                                           FailureForm{"Exception", L"exception"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The movie calls the host back from inside the host's own calls into it.
TEST(ReentrantCalls, RequestsFromInsideTheHostsCallsAreServedInPlace) {
    const std::string resolution = flashCallRequest("getScreenResolution");
    const std::string arguments = flashCallRequest("getArg");
    const HostRun run = runToTheQuit(
        "oncall <invoke name=\"gameMinimized\" ></invoke> => flashcall " + resolution +
        "\n"
        "oncall <invoke name=\"rightClick\" returntype=\"xml\"></invoke> => flashcall " +
        arguments +
        "\n"
        "oncall <invoke name=\"windowClose\" ></invoke> => flashcall " +
        resolution +
        "\n"
        "send WM_ACTIVATEAPP 0 0\npost WM_RBUTTONDOWN 0 0\nsend WM_ACTIVATE WA_ACTIVE 0\nfscommand quit\n");
    // Each nested request gets its one reply before the host's call returns.
    EXPECT_EQ(
        (Lines{"send WM_ACTIVATEAPP 0 0", gameMinimized, "event FlashCall " + resolution,
               "  reply " + screenResolutionReply, "post WM_RBUTTONDOWN 0 0", rightClick,
               "event FlashCall " + arguments, "  reply <array></array>", "send WM_ACTIVATE WA_ACTIVE 0",
               gameMaximized, "event FSCommand quit", "  " + windowClose, "  event FlashCall " + resolution,
               "    reply " + screenResolutionReply, "close", "release"}),
        afterStartup(run));
}

TEST(OddArguments, EventsWithoutStringArgumentsAreReadAsEmpty) {
    // A FlashCall whose request is not a string reads as an empty request,
    // which names no command; an FSCommand likewise. The last one is
    // "fullscreen" with a number for its argument: not "true", so windowed.
    const HostRun run = runToTheQuit("oddevent FlashCall\noddevent FlashCall null\noddevent FlashCall i4:7\n"
                                     "oddevent FlashCall empty\noddevent FlashCall dispatch\n"
                                     "oddevent FlashCall null text:extra\noddevent FSCommand\n"
                                     "oddevent FSCommand null null\noddevent FSCommand i4:1 dispatch\n"
                                     "oddevent FSCommand text:quit\n"
                                     "oddevent FSCommand text:fullscreen i4:1\nprobe mode\nfscommand quit\n");
    EXPECT_EQ(
        (Lines{"oddevent FlashCall", "no reply", "oddevent FlashCall null", "no reply",
               "oddevent FlashCall i4:7", "no reply", "oddevent FlashCall empty", "no reply",
               "oddevent FlashCall dispatch", "no reply", "oddevent FlashCall null text:extra", "no reply",
               "oddevent FSCommand", "oddevent FSCommand null null", "oddevent FSCommand i4:1 dispatch",
               // One argument is too few for an FSCommand.
               "oddevent FSCommand text:quit", "oddevent FSCommand text:fullscreen i4:1",
               "probe mode current=1280x1024x32 registry=1280x1024x32"} +
         quitting),
        afterStartup(run));
}

TEST(HugeRequests, MegabytesAndHundredThousandArgumentsAreCutAsAnyOther) {
    const std::string longPath(4 * 1024 * 1024, 'a');
    const HostRun run =
        runToTheQuit("bigcall getFileContent 1 <string>" + longPath +
                     "</string>\n"
                     "bigcall findFiles 200000 <string>C:\\nothing-here\\*.txt</string>\n"
                     "bigcall resolutionSupported 100000 <number>800</number><number>600</number>\n"
                     "bigcall getScreenResolution 100000 <string>x</string>\n"
                     "fscommand quit\n");
    const auto abridged = [](const std::string& text) {
        return text.substr(0, 100) + "... (" + std::to_string(text.size()) + " characters)";
    };
    const std::string fileContent = flashCallRequest("getFileContent", "<string>" + longPath + "</string>");
    std::string patterns;
    for (int i = 0; i < 200000; ++i) {
        patterns += "<string>C:\\nothing-here\\*.txt</string>";
    }
    std::string sizes;
    std::string texts;
    for (int i = 0; i < 100000; ++i) {
        sizes += "<number>800</number><number>600</number>";
        texts += "<string>x</string>";
    }
    const std::string files = flashCallRequest("findFiles", patterns);
    const std::string modes = flashCallRequest("resolutionSupported", sizes);
    const std::string resolution = flashCallRequest("getScreenResolution", texts);
    EXPECT_EQ(
        (Lines{"event FlashCall " + abridged(fileContent), "  reply ", "event FlashCall " + abridged(files),
               "  reply <array></array>", "event FlashCall " + abridged(modes), "  reply <true/>",
               "event FlashCall " + abridged(resolution), "  reply " + screenResolutionReply} +
         quitting),
        afterStartup(run));
}

// The movie goes on calling while the host shows its message box.
TEST(ModalEvents, RequestsAndCommandsWhileAMessageBoxIsOpenAreServed) {
    const std::string resolution = flashCallRequest("getScreenResolution");
    const std::string box = flashCallRequest("MessageBox", "<string>hello</string>");
    const HostRun run = runToTheQuit("messagebox => flashcall " + resolution + "\nflashcall " + box +
                                     "\nmessagebox => fscommand setCaption busy\nflashcall " + box +
                                     "\nprobe window\nfscommand quit\n");
    const std::string shown = "  messagebox caption=\"\" text=\"<string>hello</string>\"";
    EXPECT_EQ(
        (Lines{
             "event FlashCall " + box, "  event FlashCall " + resolution,
             "    reply " + screenResolutionReply, shown, "no reply", "event FlashCall " + box,
             "  event FSCommand setCaption busy", shown, "no reply",
             "probe window caption=\"busy\" style=0x94000000 exstyle=0x00000008 rect=0,0,1024,768 topmost=1 "
             "visible=1 iconic=0"} +
         quitting),
        afterStartup(run));
}

// And while its file dialog is open.
TEST(ModalEvents, RequestsWhileTheFileDialogIsOpenAreServed) {
    const std::string arguments = flashCallRequest("getArg");
    const std::string select = flashCallRequest("showSelectDialog");
    const HostRun run = runToTheQuit("dialog cancel => flashcall " + arguments + "\nflashcall " + select +
                                     "\nfscommand quit\n");
    EXPECT_EQ(
        (Lines{"event FlashCall " + select, "  event FlashCall " + arguments, "    reply <array></array>",
               "  dialog caption=\"Select File...\" types=\"MP3 Files (*.mp3)\" owner=\"AtlWin\"",
               "  dialog cancelled", "  reply <array></array>"} +
         quitting),
        afterStartup(run));
}

// Every ExternalInterface command with its arguments missing, of the wrong
// types, full of markup and entities, and cut off.
class EveryCommand : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryCommand, SurvivesMissingWrongAndGarbageArguments) {
    const std::string name = GetParam();
    const std::string empty = flashCallRequest(name);
    const Lines requests = {
        cutBefore(empty, "<arguments>") + "</invoke>",
        empty,
        flashCallRequest(name, "<true/><null/><object></object><number>-1e999</number>"),
        flashCallRequest(name, "<string>&amp;&lt;<<>>\"'&apos;&amp;amp;</string>"),
        flashCallRequest(name, "<object><property id=\"title\"></property></object>"),
        cutBefore(flashCallRequest(name, "<string>"), "</arguments>"),
        cutBefore(empty, "\" returntype"),
    };
    std::string script;
    for (const std::string& line : requests) {
        // Whatever the command shows is closed at once.
        script += "messagebox\ndialog cancel\nflashcall " + line + "\n";
    }
    const HostRun run = runToTheQuit(script + "fscommand quit\n");
    const Lines log = afterStartup(run);
    // Each request was handled and returned: its event line is followed,
    // before the next event, by at most one reply.
    for (const std::string& line : requests) {
        const auto event = std::find(log.begin(), log.end(), "event FlashCall " + line);
        ASSERT_NE(log.end(), event) << line;
        const auto next = std::find_if(
            event + 1, log.end(), [](const std::string& entry) { return entry.rfind("event ", 0) == 0; });
        EXPECT_LE(std::count_if(event + 1, next,
                                [](const std::string& entry) { return entry.rfind("  reply ", 0) == 0; }),
                  1)
            << line;
    }
    EXPECT_TRUE(std::equal(quitting.rbegin(), quitting.rend(), log.rbegin()));
}

INSTANTIATE_TEST_SUITE_P(Commands, EveryCommand,
                         ::testing::Values("resolutionSupported", "getAspectRatio", "MessageBox",
                                           "setResolution", "findFiles", "getArg", "getVolume",
                                           "changeWallpaper", "setVolume", "showSelectDialog",
                                           "getScreenResolution", "getFileContent", "noSuchCommand"));

} // namespace
