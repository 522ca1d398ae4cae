#include "bridge/commands.h"

#include "bridge/codec.h"
#include "bridge/file_replies.h"
#include "bridge/window_commands.h"
#include "display/display_modes.h"
#include "display/fullscreen.h"
#include "desktop/files.h"
#include "desktop/open_file_dialog.h"
#include "desktop/volume.h"
#include "desktop/wallpaper.h"

#include <optional>

namespace {

// How a row reads its arguments from the request.
enum class ArgumentRule {
    none,
    numberPair,            // the first two argument values, as integers
    sectionWithAmpersands, // the whole arguments section, tags included, "&amp;" read as "&"
    firstArgumentNumber,   // the first argument's value, as an integer
    firstArgument,         // the first argument's value, as written
    firstArgumentDecoded,  // the first argument's value, "&amp;" then "&apos;" decoded
    titleProperty,         // an object argument's "title" property, else the default title
};

struct Arguments {
    NumberPair numbers;
    std::wstring text;
};

// A reply in the BSTR the control is handed, so that a large one is never
// copied on its way. A command with no reply returns nothing, so the movie's
// call gets no value.
using Reply = std::optional<UniqueBstr>;

struct FlashCallCommand {
    const wchar_t* name;
    ArgumentRule rule;
    Reply (*run)(const Arguments&);
};

struct FsCommand {
    const wchar_t* name;
    void (*run)(const std::wstring& args);
};

Reply resolutionSupported(const Arguments& arguments) {
    return textBstr(
        encodeBoolean(isModeSupported(arguments.numbers.first, arguments.numbers.second, gameBitsPerPixel)));
}

Reply getAspectRatio(const Arguments&) {
    return textBstr(encodeNumber(getDesktopAspectRatio()));
}

Reply messageBox(const Arguments& arguments) {
    showMessage(arguments.text);
    return std::nullopt;
}

Reply setResolution(const Arguments& arguments) {
    setGameSize(arguments.numbers.first, arguments.numbers.second);
    return std::nullopt;
}

Reply findFiles(const Arguments& arguments) {
    return fileListReply(findFileNames(arguments.text));
}

Reply getArg(const Arguments&) {
    return textBstr(encodeStringArray(commandLineArguments(), ReplyQuote::Double));
}

Reply getVolume(const Arguments&) {
    return textBstr(encodeNumber(currentVolumeLevel()));
}

Reply changeWallpaper(const Arguments& arguments) {
    changeDesktopWallpaper(arguments.text);
    return std::nullopt;
}

Reply setVolume(const Arguments& arguments) {
    setVolumeLevel(arguments.numbers.first);
    return std::nullopt;
}

Reply showSelectDialog(const Arguments& arguments) {
    return textBstr(encodeStringArray(showOpenFileDialog(arguments.text, mp3Filter), ReplyQuote::Double));
}

Reply getScreenResolution(const Arguments&) {
    const DesktopSize size = getDesktopResolution();
    return textBstr(encodeSizeObject(static_cast<int32_t>(size.width), static_cast<int32_t>(size.height)));
}

Reply getFileContent(const Arguments& arguments) {
    if (arguments.text.empty()) {
        return textBstr(encodeString(L"true"));
    }
    std::optional<TextFile> file = TextFile::open(arguments.text);
    if (!file) {
        return textBstr(std::wstring());
    }
    return fileContentReply(*file);
}

// Names are compared in this order, exactly and case-sensitively.
const FlashCallCommand commandTable[] = {
    {L"resolutionSupported", ArgumentRule::numberPair, resolutionSupported},
    {L"getAspectRatio", ArgumentRule::none, getAspectRatio},
    {L"MessageBox", ArgumentRule::sectionWithAmpersands, messageBox},
    {L"setResolution", ArgumentRule::numberPair, setResolution},
    {L"findFiles", ArgumentRule::firstArgument, findFiles},
    {L"getArg", ArgumentRule::none, getArg},
    {L"getVolume", ArgumentRule::none, getVolume},
    {L"changeWallpaper", ArgumentRule::firstArgument, changeWallpaper},
    {L"setVolume", ArgumentRule::firstArgumentNumber, setVolume},
    {L"showSelectDialog", ArgumentRule::titleProperty, showSelectDialog},
    {L"getScreenResolution", ArgumentRule::none, getScreenResolution},
    {L"getFileContent", ArgumentRule::firstArgumentDecoded, getFileContent},
};

// Exactly "true" means fullscreen; any other text means windowed.
void fullscreen(const std::wstring& args) {
    if (args == L"true") {
        switchToFullscreen();
    } else {
        switchToWindowed();
    }
}

void quit(const std::wstring&) {
    quitGame();
}

void minimize(const std::wstring&) {
    minimizeGame();
}

// Every name is compared, in this order; the names differ, so at most one acts.
const FsCommand fsCommandTable[] = {
    {L"setCaption", setCaption},
    {L"quit", quit},
    {L"minimize", minimize},
    {L"fullscreen", fullscreen},
};

Arguments readArguments(ArgumentRule rule, const std::wstring& request, const std::wstring& section) {
    Arguments arguments;
    switch (rule) {
    case ArgumentRule::none:
        break;
    case ArgumentRule::numberPair:
        arguments.numbers = readNumberPair(request);
        break;
    case ArgumentRule::sectionWithAmpersands:
        arguments.text = section;
        replaceAll(arguments.text, L"&amp;", L"&");
        break;
    case ArgumentRule::firstArgumentNumber:
        arguments.numbers.first = readInteger(firstArgumentText(section));
        break;
    case ArgumentRule::firstArgument:
        arguments.text = firstArgumentText(section);
        break;
    case ArgumentRule::firstArgumentDecoded:
        arguments.text = firstArgumentText(section);
        replaceAll(arguments.text, L"&amp;", L"&");
        replaceAll(arguments.text, L"&apos;", L"'");
        break;
    case ArgumentRule::titleProperty:
        arguments.text = extractTitleProperty(section);
        break;
    }
    return arguments;
}

} // namespace

void dispatchFlashCall(IShockwaveFlash* control, const std::wstring& request) {
    const std::wstring name = extractCommandName(request);
    const std::wstring section = extractArguments(request);
    for (const FlashCallCommand& command : commandTable) {
        if (name != command.name) {
            continue;
        }
        const Reply reply = command.run(readArguments(command.rule, request, section));
        if (reply && control) {
            returnToMovie(control, *reply);
        }
        return;
    }
}

void dispatchFsCommand(const std::wstring& command, const std::wstring& args) {
    for (const FsCommand& entry : fsCommandTable) {
        if (command == entry.name) {
            entry.run(args);
        }
    }
}
