// The movie authors' reference, docs/movie-api.md, kept true: every example
// block in it is played by the stand-in against the real program, and what
// the stand-in logged is compared with the block line for line.
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <set>

namespace {

using Lines = std::vector<std::string>;

// The examples assume the game in this folder; the test puts its own there.
const std::string exampleFolder = "C:\\game";

std::wstring widen(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

struct Example {
    int line = 0;     // where its block starts in the document
    std::string name; // the first command or function it shows
    Lines body;       // its lines, as written
};

// Test names carry the name and line; a parameter prints as its place.
void PrintTo(const Example& example, std::ostream* out) {
    *out << "docs/movie-api.md:" << example.line;
}

std::string firstName(const Lines& body) {
    for (const std::string& line : body) {
        for (const char* key : {"request: ", "calls: "}) {
            if (startsWith(line, key)) {
                const size_t open = line.find('"');
                return line.substr(open + 1, line.find('"', open + 1) - open - 1);
            }
        }
        if (startsWith(line, "fscommand: ")) {
            const std::string rest = line.substr(11);
            return rest.substr(0, rest.find(' '));
        }
    }
    return "unnamed";
}

// The ```example blocks of the document, in order.
std::vector<Example> readExamples() {
    std::vector<Example> examples;
    std::ifstream in(unixFilePath(MOVIE_API_DOC).c_str(), std::ios::binary);
    std::string line;
    int number = 0;
    Example* open = nullptr;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!open && line == "```example") {
            examples.push_back({number, "", {}});
            open = &examples.back();
        } else if (open && line == "```") {
            open->name = firstName(open->body);
            open = nullptr;
        } else if (open) {
            open->body.push_back(line);
        }
    }
    return examples;
}

std::string replaceFolder(std::string text, const std::string& folder) {
    for (size_t at = text.find(exampleFolder); at != std::string::npos;
         at = text.find(exampleFolder, at + folder.size())) {
        text.replace(at, exampleFolder.size(), folder);
    }
    return text;
}

// One line the stand-in must log: whole, its start, or a part of it.
struct Expected {
    enum class Match { whole, start, part };
    std::string text;
    Match match = Match::whole;
    bool matches(const std::string& line) const {
        switch (match) {
        case Match::start:
            return startsWith(line, text);
        case Match::part:
            return line.find(text) != std::string::npos;
        default:
            return line == text;
        }
    }
};

// What a block asks for, turned into a stand-in script, the lines the
// stand-in must log, and how the program must be started and end.
struct Play {
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> folders;
    std::wstring arguments;
    std::vector<std::string> steps;
    std::vector<Expected> log;
    DWORD exitCode = 1;
    bool ends = false;
    std::string error;
};

std::string valueOf(const std::string& line, const std::string& key) {
    std::string value = line.substr(key.size());
    return value.empty() || value[0] != ' ' ? value : value.substr(1);
}

Play translate(const Example& example, const std::string& folder) {
    Play play;
    // A message box or dialog expected after a request is armed before it.
    size_t lastAction = 0;
    auto armBefore = [&play, &lastAction](const std::string& step) {
        play.steps.insert(play.steps.begin() + static_cast<std::ptrdiff_t>(lastAction), step);
        ++lastAction;
    };
    for (const std::string& written : example.body) {
        const std::string line = replaceFolder(written, folder);
        auto key = [&line](const std::string& name) { return startsWith(line, name + ":"); };
        if (line.empty()) {
            continue;
        }
        if (key("given file")) {
            const std::string value = valueOf(line, "given file:");
            const size_t equals = value.find(" = ");
            play.files.emplace_back(value.substr(0, equals),
                                    equals == std::string::npos ? "" : value.substr(equals + 3));
        } else if (key("given folder")) {
            play.folders.push_back(valueOf(line, "given folder:"));
        } else if (key("given arguments")) {
            play.arguments = widen(valueOf(line, "given arguments:"));
        } else if (key("request")) {
            const std::string request = valueOf(line, "request:");
            lastAction = play.steps.size();
            play.steps.push_back("flashcall " + request);
            play.log.push_back({"event FlashCall " + request});
        } else if (key("fscommand")) {
            const std::string command = valueOf(line, "fscommand:");
            lastAction = play.steps.size();
            play.steps.push_back("fscommand " + command);
            play.log.push_back({"event FSCommand " + command});
        } else if (key("player")) {
            const std::string step = valueOf(line, "player:");
            if (!startsWith(step, "post ") && !startsWith(step, "send ")) {
                play.error = "a player step is a posted or sent message: " + line;
            }
            lastAction = play.steps.size();
            play.steps.push_back(step);
            play.log.push_back({step});
        } else if (key("reply")) {
            play.log.push_back({"reply " + valueOf(line, "reply:")});
        } else if (line == "no reply") {
            play.log.push_back({"no reply"});
        } else if (key("calls")) {
            play.log.push_back({"call CallFunction " + valueOf(line, "calls:")});
        } else if (key("box")) {
            armBefore("messagebox");
            play.log.push_back({"messagebox caption=\"\" text=\"" + valueOf(line, "box:") + "\""});
        } else if (key("dialog")) {
            play.log.push_back(
                {"dialog caption=\"" + valueOf(line, "dialog:") + "\" ", Expected::Match::start});
        } else if (key("user picks")) {
            const std::string path = valueOf(line, "user picks:");
            armBefore("dialog choose " + path);
            play.log.push_back({"dialog chose " + path});
        } else if (key("dialog lists")) {
            play.log.push_back({"dialog lists " + valueOf(line, "dialog lists:")});
        } else if (line == "user cancels") {
            armBefore("dialog cancel");
            play.log.push_back({"dialog cancelled"});

        } else if (key("caption")) {
            play.steps.push_back("probe window");
            play.log.push_back(
                {"probe window caption=\"" + valueOf(line, "caption:") + "\" ", Expected::Match::start});
        } else if (key("window")) {
            play.steps.push_back("probe window");
            play.log.push_back({" rect=" + valueOf(line, "window:") + " ", Expected::Match::part});
        } else if (key("mode")) {
            play.steps.push_back("probe mode");
            play.log.push_back(
                {"probe mode current=" + valueOf(line, "mode:") + " ", Expected::Match::start});
        } else if (key("exit code")) {
            play.exitCode = static_cast<DWORD>(std::stol(valueOf(line, "exit code:")));
            play.ends = true;
        } else {
            play.error = "a line of no known kind: " + line;
        }
    }
    if (!play.ends) {
        play.steps.push_back("fscommand quit");
        play.log.push_back({"event FSCommand quit"});
        play.log.push_back({"call CallFunction <invoke name=\"windowClose\" ></invoke>"});
    }
    return play;
}

std::string describe(const std::vector<Expected>& lines) {
    std::string text;
    for (const Expected& line : lines) {
        text += (line.match == Expected::Match::whole   ? "  "
                 : line.match == Expected::Match::start ? "  ^"
                                                        : "  ~") +
                line.text + "\n";
    }
    return text;
}

std::string describe(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "  " + line + "\n";
    }
    return text;
}

// The stand-in's lines after start-up, without their nesting indentation.
// When the control is closed and its last reference goes depends on the
// hosting, not on the movie's calls, so the "close" and "release" lines are
// left out.
Lines movieLog(const HostRun& run) {
    Lines lines;
    for (const std::string& line : afterStartup(run)) {
        const size_t start = line.find_first_not_of(' ');
        const std::string trimmed = start == std::string::npos ? "" : line.substr(start);
        if (trimmed != "release" && trimmed != "close") {
            lines.push_back(trimmed);
        }
    }
    return lines;
}

class MovieApiDocument : public ::testing::TestWithParam<Example> {};

TEST_P(MovieApiDocument, ExampleMatchesTheProgram) {
    const Example& example = GetParam();
    ProgramFolder folder;
    const Play play = translate(example, utf8(folder.path()));
    ASSERT_EQ("", play.error) << "example at docs/movie-api.md:" << example.line;
    // What the test made, to remove in reverse order.
    std::vector<std::wstring> made;
    auto makeFolders = [&made, &folder](const std::wstring& path) {
        for (size_t at = path.find(L'\\', folder.path().size() + 1); at != std::wstring::npos;
             at = path.find(L'\\', at + 1)) {
            if (CreateDirectoryW(path.substr(0, at).c_str(), nullptr)) {
                made.push_back(path.substr(0, at));
            }
        }
    };
    for (const std::string& path : play.folders) {
        const std::wstring wide = widen(path);
        makeFolders(wide + L"\\");
    }
    for (const auto& [path, text] : play.files) {
        const std::wstring wide = widen(path);
        makeFolders(wide);
        writeUtf8File(wide, text);
        made.push_back(wide);
    }
    std::string script;
    for (const std::string& step : play.steps) {
        script += step + "\n";
    }
    const HostRun run = folder.run(script, {}, play.arguments);
    for (auto path = made.rbegin(); path != made.rend(); ++path) {
        DeleteFileW(path->c_str());
        RemoveDirectoryW(path->c_str());
    }
    ASSERT_FALSE(run.timedOut) << "example at docs/movie-api.md:" << example.line;
    const Lines log = movieLog(run);
    bool same = log.size() == play.log.size();
    for (size_t i = 0; same && i < log.size(); ++i) {
        same = play.log[i].matches(log[i]);
    }
    EXPECT_TRUE(same) << "example at docs/movie-api.md:" << example.line << "\nexpected:\n"
                      << describe(play.log) << "the stand-in logged:\n"
                      << describe(log);
    EXPECT_EQ(play.exitCode, run.exitCode) << "example at docs/movie-api.md:" << example.line;
    EXPECT_EQ(Lines{}, run.boxes) << "message boxes nobody expected";
}

std::string exampleName(const ::testing::TestParamInfo<Example>& info) {
    return info.param.name + "_line" + std::to_string(info.param.line);
}

INSTANTIATE_TEST_SUITE_P(Examples, MovieApiDocument, ::testing::ValuesIn(readExamples()), exampleName);

// Every command the movie can use, and every call the host makes into it, has
// at least one example that the test above plays.
TEST(MovieApiDocumentCoverage, EveryCommandAndCallHasAnExample) {
    std::set<std::string> shown;
    for (const Example& example : readExamples()) {
        for (const std::string& line : example.body) {
            Example one;
            one.body = {line};
            shown.insert(firstName(one.body));
        }
    }
    const Lines expected = {// ExternalInterface commands, in the order the host compares them.
                            "resolutionSupported", "getAspectRatio", "MessageBox", "setResolution",
                            "findFiles", "getArg", "getVolume", "changeWallpaper", "setVolume",
                            "showSelectDialog", "getScreenResolution", "getFileContent",
                            // fscommands.
                            "setCaption", "quit", "minimize", "fullscreen",
                            // Calls into the movie.
                            "windowClose", "gameMinimized", "gameMaximized", "rightClick"};
    Lines missing;
    for (const std::string& name : expected) {
        if (!shown.count(name)) {
            missing.push_back(name);
        }
    }
    EXPECT_EQ(Lines{}, missing);
}

// Both forms of windowClose are shown.
TEST(MovieApiDocumentCoverage, BothWindowCloseRequestsHaveAnExample) {
    std::set<std::string> calls;
    for (const Example& example : readExamples()) {
        for (const std::string& line : example.body) {
            if (startsWith(line, "calls: ")) {
                calls.insert(line.substr(7));
            }
        }
    }
    EXPECT_EQ(1u, calls.count("<invoke name=\"windowClose\" ></invoke>"));
    EXPECT_EQ(1u, calls.count("<invoke name=\"windowClose\" returntype=\"xml\"></invoke>"));
}

} // namespace
