#include "script.h"

#include "apartment_watch.h"
#include "base/handles.h"
#include "log.h"
#include "misaligned.h"

#include <cwchar>
#include <cstdio>

namespace {

struct NamedValue {
    const wchar_t* name;
    UINT_PTR value;
};

constexpr NamedValue messageNames[] = {
    {L"WM_NULL", WM_NULL},
    {L"WM_CLOSE", WM_CLOSE},
    {L"WM_DESTROY", WM_DESTROY},
    {L"WM_QUIT", WM_QUIT},
    {L"WM_RBUTTONDOWN", WM_RBUTTONDOWN},
    {L"WM_RBUTTONUP", WM_RBUTTONUP},
    {L"WM_KEYDOWN", WM_KEYDOWN},
    {L"WM_KEYUP", WM_KEYUP},
    {L"WM_ACTIVATE", WM_ACTIVATE},
    {L"WM_ACTIVATEAPP", WM_ACTIVATEAPP},
    {L"WM_SYSCOMMAND", WM_SYSCOMMAND},
};

constexpr NamedValue parameterNames[] = {
    {L"VK_APPS", VK_APPS},
    {L"SC_SCREENSAVE", SC_SCREENSAVE},
    {L"SC_MONITORPOWER", SC_MONITORPOWER},
    {L"SC_CLOSE", SC_CLOSE},
    {L"WA_ACTIVE", WA_ACTIVE},
    {L"WA_INACTIVE", WA_INACTIVE},
    {L"WA_CLICKACTIVE", WA_CLICKACTIVE},
};

// A whole token: decimal (possibly negative) or 0x hex.
bool parseNumber(const std::wstring& token, UINT_PTR& value) {
    if (token.empty()) {
        return false;
    }
    wchar_t* end = nullptr;
    bool hex = token.size() > 2 && token[0] == L'0' && (token[1] == L'x' || token[1] == L'X');
    if (hex) {
        value = static_cast<UINT_PTR>(wcstoull(token.c_str() + 2, &end, 16));
    } else {
        value = static_cast<UINT_PTR>(wcstoll(token.c_str(), &end, 10));
    }
    return end && *end == L'\0' && end != token.c_str() + (hex ? 2 : 0);
}

// A number or one of the names.
template <size_t count>
bool parseValue(const std::wstring& token, const NamedValue (&names)[count], UINT_PTR& value) {
    for (const NamedValue& named : names) {
        if (token == named.name) {
            value = named.value;
            return true;
        }
    }
    return parseNumber(token, value);
}

std::vector<std::wstring> splitBlanks(const std::wstring& text) {
    std::vector<std::wstring> words;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L' ', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        if (end > start) {
            words.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}

std::wstring fromUtf8(const std::string& bytes) {
    if (bytes.empty()) {
        return {};
    }
    int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return text;
}

bool readFile(const std::wstring& path, std::string& bytes) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    char buffer[4096];
    DWORD got = 0;
    bytes.clear();
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return true;
}

std::vector<std::wstring> scriptSteps(const std::wstring& text) {
    std::vector<std::wstring> steps;
    size_t start = text.size() && text[0] == L'\xFEFF' ? 1 : 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(L" \t") != std::wstring::npos && line[0] != L'#') {
            steps.push_back(line);
        }
        start = end + 1;
    }
    return steps;
}

// "keyword operand": the keyword up to the first blank, the operand after it.
void splitStep(const std::wstring& line, std::wstring& keyword, std::wstring& operand) {
    size_t blank = line.find(L' ');
    keyword = line.substr(0, blank);
    operand = blank == std::wstring::npos ? std::wstring() : line.substr(blank + 1);
}

std::wstring modeText(DWORD which) {
    DEVMODEW mode = {};
    mode.dmSize = sizeof mode;
    if (!EnumDisplaySettingsW(nullptr, which, &mode)) {
        return L"none";
    }
    return std::to_wstring(mode.dmPelsWidth) + L"x" + std::to_wstring(mode.dmPelsHeight) + L"x" +
           std::to_wstring(mode.dmBitsPerPel);
}

void probeWindow(HWND window) {
    if (!window) {
        logLine(L"no window");
        return;
    }
    int length = GetWindowTextLengthW(window);
    std::wstring caption(static_cast<size_t>(length) + 1, L'\0');
    caption.resize(static_cast<size_t>(GetWindowTextW(window, caption.data(), length + 1)));
    DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    DWORD exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
    RECT rect = {};
    GetWindowRect(window, &rect);
    logLine(L"probe window caption=\"" + caption + L"\" style=" + hex32(style) + L" exstyle=" +
            hex32(exStyle) + L" rect=" + std::to_wstring(rect.left) + L"," + std::to_wstring(rect.top) +
            L"," + std::to_wstring(rect.right) + L"," + std::to_wstring(rect.bottom) + L" topmost=" +
            ((exStyle & WS_EX_TOPMOST) ? L"1" : L"0") + L" visible=" +
            (IsWindowVisible(window) ? L"1" : L"0") + L" iconic=" + (IsIconic(window) ? L"1" : L"0"));
}

// The client area in screen coordinates: where the hosting puts the player.
void probeClient(HWND window) {
    if (!window) {
        logLine(L"no window");
        return;
    }
    RECT rect = {};
    GetClientRect(window, &rect);
    MapWindowPoints(window, HWND_DESKTOP, reinterpret_cast<POINT*>(&rect), 2);
    logLine(L"probe client rect=" + std::to_wstring(rect.left) + L"," + std::to_wstring(rect.top) + L"," +
            std::to_wstring(rect.right) + L"," + std::to_wstring(rect.bottom));
}

// Whether an open message box is in the topmost band, and whose window a
// click at its centre would reach: the box's own, the game's or another's.
void probeBox(HWND box, HWND game) {
    if (!box) {
        logLine(L"no box");
        return;
    }
    RECT rect = {};
    GetWindowRect(box, &rect);
    const POINT centre = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    const HWND atCentre = GetAncestor(WindowFromPoint(centre), GA_ROOT);
    const bool topmost = GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST;
    logLine(std::wstring(L"probe box topmost=") + (topmost ? L"1" : L"0") + L" centre=" +
            (atCentre == box            ? L"box"
             : game && atCentre == game ? L"game"
                                        : L"other"));
}

// Which window has the foreground: the open box, the game or another.
void probeForeground(HWND box, HWND game) {
    const HWND foreground = GetForegroundWindow();
    logLine(std::wstring(L"probe foreground ") + (box && foreground == box     ? L"box"
                                                  : game && foreground == game ? L"game"
                                                                               : L"other"));
}

// A left click near the top-left corner of the game's client area, as real
// input: through the system's input queue, so that the system does a click's
// activation and z-order work as for a player's click. The next timer tick
// comes only once the thread has taken the click from its queue.
void clickGame(HWND game) {
    constexpr int inset = 8;
    POINT point = {inset, inset};
    ClientToScreen(game, &point);
    SetCursorPos(point.x, point.y);
    INPUT click[2] = {};
    click[0].type = INPUT_MOUSE;
    click[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    click[1].type = INPUT_MOUSE;
    click[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, click, sizeof(INPUT));
}

std::wstring registryData(const std::wstring& location) {
    size_t rootEnd = location.find(L'\\');
    size_t nameStart = location.rfind(L'\\');
    if (rootEnd == std::wstring::npos || nameStart == rootEnd) {
        return L"missing";
    }
    std::wstring rootName = location.substr(0, rootEnd);
    HKEY root = rootName == L"HKCU" ? HKEY_CURRENT_USER : rootName == L"HKLM" ? HKEY_LOCAL_MACHINE : nullptr;
    UniqueKey key;
    std::wstring path = location.substr(rootEnd + 1, nameStart - rootEnd - 1);
    if (!root || RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return L"missing";
    }
    std::wstring name = location.substr(nameStart + 1);
    DWORD type = 0;
    DWORD size = 0;
    std::wstring data = L"missing";
    if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<BYTE> bytes(size + sizeof(wchar_t));
        RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, bytes.data(), &size);
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            data.assign(reinterpret_cast<const wchar_t*>(bytes.data()), size / sizeof(wchar_t));
            data.resize(wcsnlen(data.c_str(), data.size()));
        } else if (type == REG_DWORD && size == sizeof(DWORD)) {
            data = std::to_wstring(*reinterpret_cast<const DWORD*>(bytes.data()));
        } else {
            data = L"type " + std::to_wstring(type);
        }
    }
    return data;
}

// The exit code of the `terminate` step.
constexpr UINT terminatedCode = 0xDEAD;

// Raised rather than caused: under 32-bit Wine the page at address 0 may be
// mapped, so a write through a null pointer need not fault.
void raiseAccessViolation() {
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

DWORD WINAPI faultingThread(void*) {
    logLine(L"crash on thread " + std::to_wstring(GetCurrentThreadId()));
    raiseAccessViolation();
    return 0;
}

// Each level keeps a page of the stack until the stack runs out.
volatile bool deeper = true;
int useUpStack(int depth) {
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    return deeper ? useUpStack(depth + 1) + page[0] : 0;
}

// The fault happens on a thread of its own: the system swallows exceptions
// raised while it dispatches WM_TIMER, and steps run from a timer. An
// unhandled fault on any thread ends the whole process, as a crash does.
void crash() {
    const UniqueHandle thread(CreateThread(nullptr, 0, faultingThread, nullptr, 0, nullptr));
    if (thread) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
}

// Windows activates another program's window when the active window is
// minimised, before ShowWindow returns, so the program hears WM_ACTIVATEAPP
// (FALSE) from inside its own minimise; Wine's virtual desktop does not. The
// hook sends it where Windows would, once the window is minimised.
HHOOK minimizeHook = nullptr;
HWND minimizedWindow = nullptr;

LRESULT CALLBACK deactivateOnMinimize(int code, WPARAM wParam, LPARAM lParam) {
    static bool sending = false;
    try {
        const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (code == HC_ACTION && !sending && call->hwnd == minimizedWindow && call->message == WM_SIZE &&
            call->wParam == SIZE_MINIMIZED) {
            sending = true;
            logLine(L"deactivated by minimize");
            SendMessageW(minimizedWindow, WM_ACTIVATEAPP, FALSE, 0);
            sending = false;
        }
    } catch (...) {
        sending = false;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void stopEmulatingMinimize() {
    if (minimizeHook) {
        UnhookWindowsHookEx(minimizeHook);
        minimizeHook = nullptr;
    }
    minimizedWindow = nullptr;
}

void emulateMinimize(HWND window) {
    stopEmulatingMinimize();
    minimizedWindow = window;
    minimizeHook = SetWindowsHookExW(WH_CALLWNDPROCRET, deactivateOnMinimize, nullptr, GetCurrentThreadId());
}

// Every change of the display mode, the host's own included, reaches its
// top-level window as WM_DISPLAYCHANGE, sent before the change returns; the
// hook notes each one where it happens among the script's lines.
using UniqueHook = UniqueNullable<HHOOK, UnhookWindowsHookEx>;
UniqueHook displayHook;
HWND displayWatched = nullptr;
// Changes heard since the watch began.
unsigned displayChangesHeard = 0;

LRESULT CALLBACK logDisplayChange(int code, WPARAM wParam, LPARAM lParam) {
    try {
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (code == HC_ACTION && call->hwnd == displayWatched && call->message == WM_DISPLAYCHANGE) {
            ++displayChangesHeard;
            logLine(L"display changed " + std::to_wstring(LOWORD(call->lParam)) + L"x" +
                    std::to_wstring(HIWORD(call->lParam)) + L"x" + std::to_wstring(call->wParam));
        }
    } catch (...) {
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void watchDisplay(HWND window) {
    displayChangesHeard = 0;
    displayWatched = window;
    displayHook.reset(SetWindowsHookExW(WH_CALLWNDPROC, logDisplayChange, nullptr, GetCurrentThreadId()));
}

void stopHooks() {
    stopEmulatingMinimize();
    displayHook.reset();
    displayWatched = nullptr;
}

// Logs the step and takes `action` on the host's window, or logs that there
// is none.
void onHostWindow(HWND window, const std::wstring& line, void (*action)(HWND)) {
    logLine(window ? line : L"no window");
    if (window) {
        action(window);
    }
}

} // namespace

// The hooks must not outlive the code they run.
Script::~Script() {
    stopHooks();
}

bool Script::load(const std::wstring& path) {
    steps.clear();
    next = 0;
    waitLength = 0;
    displayChangesAwaited = 0;
    armedCalls.clear();
    watchers = ModalWatchers();
    stopHooks();
    std::string bytes;
    if (!readFile(path, bytes)) {
        return false;
    }
    steps = scriptSteps(fromUtf8(bytes));
    // The end of the file stops the script as a "stop" line would.
    steps.push_back(L"stop");
    runLoadSteps();
    return true;
}

// "onput STEP" runs STEP while the movie is put, then runs the thread's
// messages, as a player may while it loads a movie.
void Script::runLoadSteps() {
    const std::wstring onPut = L"onput ";
    bool ran = false;
    for (auto step = steps.begin(); step != steps.end();) {
        if (step->compare(0, onPut.size(), onPut) != 0) {
            ++step;
            continue;
        }
        if (!runNestedStep(step->substr(onPut.size()))) {
            logLine(L"bad step " + *step);
        }
        step = steps.erase(step);
        ran = true;
    }
    MSG message;
    while (ran && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Script::tick() {
    watchers.service([this](const std::wstring& step) {
        if (!runNestedStep(step)) {
            logLine(L"bad step " + step);
        }
    });
    if (running || eventInFlight() || next >= steps.size()) {
        return;
    }
    if ((waitLength && GetTickCount() - waitStart < waitLength) ||
        displayChangesHeard < displayChangesAwaited) {
        return;
    }
    waitLength = 0;
    running = true;
    struct Done {
        bool& running;
        ~Done() { running = false; }
    } done{running};
    // A copy: the step may load another movie and replace the list.
    std::wstring step = steps[next++];
    runStep(step);
}

void Script::onCall(const std::wstring& request) {
    for (size_t i = 0; i < armedCalls.size(); ++i) {
        if (armedCalls[i].request == request) {
            std::wstring step = armedCalls[i].step;
            armedCalls.erase(armedCalls.begin() + static_cast<std::ptrdiff_t>(i));
            if (!runNestedStep(step)) {
                logLine(L"bad step " + step);
            }
            return;
        }
    }
}

void Script::runStep(const std::wstring& line) {
    std::wstring keyword;
    std::wstring operand;
    splitStep(line, keyword, operand);
    if (runNestedStep(line)) {
        return;
    }
    if (keyword == L"oncall") {
        size_t arrow = operand.find(L" => ");
        if (arrow != std::wstring::npos) {
            armedCalls.push_back({operand.substr(0, arrow), operand.substr(arrow + 4)});
            return;
        }
    } else if (keyword == L"messagebox" || keyword == L"dialog") {
        // An optional " => STEP" runs STEP while the box or dialog is open.
        const std::wstring arrow = L"=> ";
        std::wstring during;
        size_t at = operand.rfind(arrow, 0) == 0 ? 0 : operand.find(L" " + arrow);
        if (at != std::wstring::npos) {
            during = operand.substr(at == 0 ? arrow.size() : at + 1 + arrow.size());
            operand.erase(at);
        }
        UINT_PTR patience = 0;
        if (keyword == L"messagebox" && (operand.empty() || parseNumber(operand, patience))) {
            watchers.armMessageBox(during, static_cast<DWORD>(patience));
            return;
        }
        DialogAction action;
        if (keyword == L"dialog" && parseDialogAction(operand, action)) {
            action.during = during;
            watchers.armDialog(action);
            return;
        }
    } else if (keyword == L"wait" && operand == L"display") {
        // Counted, so that a change that came before this step counts.
        ++displayChangesAwaited;
        return;
    } else if (keyword == L"wait") {
        UINT_PTR length = 0;
        if (parseNumber(operand, length)) {
            waitStart = GetTickCount();
            waitLength = static_cast<DWORD>(length);
            return;
        }
    } else if (keyword == L"emulate" && operand == L"minimize") {
        onHostWindow(host.hostWindow(), line, emulateMinimize);
        return;
    } else if (keyword == L"watch" && operand == L"opens") {
        logLine(watchOpens() ? line : L"cannot watch opens");
        return;
    } else if (keyword == L"watch" && operand == L"display") {
        onHostWindow(host.hostWindow(), line, watchDisplay);
        return;
    } else if (keyword == L"stop" && operand == L"ticks") {
        logLine(line);
        next = steps.size();
        host.stopTicks();
        return;
    } else if (keyword == L"stop") {
        logLine(L"stop");
        next = steps.size();
        return;
    }
    logLine(L"bad step " + line);
}

// The steps that may also run nested inside CallFunction; false when the
// line is not one of them.
bool Script::runNestedStep(const std::wstring& line) {
    std::wstring keyword;
    std::wstring operand;
    splitStep(line, keyword, operand);
    if (keyword == L"flashcall") {
        host.raiseFlashCall(operand);
        return true;
    }
    if (keyword == L"bigcall") {
        // bigcall NAME COUNT ELEMENT: a request with COUNT copies of ELEMENT
        // as its arguments.
        std::vector<std::wstring> words = splitBlanks(operand);
        UINT_PTR count = 0;
        if (words.size() != 3 || !parseNumber(words[1], count)) {
            return false;
        }
        std::wstring request = L"<invoke name=\"" + words[0] + L"\" returntype=\"xml\"><arguments>";
        request.reserve(request.size() + count * words[2].size() + 32);
        for (UINT_PTR i = 0; i < count; ++i) {
            request += words[2];
        }
        request += L"</arguments></invoke>";
        host.raiseFlashCall(request);
        return true;
    }
    if (keyword == L"oddevent") {
        std::vector<std::wstring> words = splitBlanks(operand);
        if (words.empty()) {
            return false;
        }
        logLine(line);
        if (!host.raiseOddEvent(words[0], std::vector<std::wstring>(words.begin() + 1, words.end()))) {
            logLine(L"bad odd event");
        }
        return true;
    }
    if (keyword == L"fscommand" && !operand.empty()) {
        std::wstring command;
        std::wstring args;
        splitStep(operand, command, args);
        host.raiseFsCommand(command, args);
        return true;
    }
    if (keyword == L"post" || keyword == L"send") {
        std::vector<std::wstring> words = splitBlanks(operand);
        const bool toPlayer = !words.empty() && words[0] == L"player";
        if (toPlayer) {
            words.erase(words.begin());
        }
        UINT_PTR message = 0;
        UINT_PTR wParam = 0;
        UINT_PTR lParam = 0;
        if (words.size() != 3 || !parseValue(words[0], messageNames, message) ||
            !parseValue(words[1], parameterNames, wParam) || !parseValue(words[2], parameterNames, lParam)) {
            return false;
        }
        logLine(line);
        if (message == WM_QUIT && keyword == L"post") {
            PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, wParam, static_cast<LPARAM>(lParam));
            return true;
        }
        HWND window = toPlayer ? host.playerWindow() : host.hostWindow();
        if (!window) {
            logLine(L"no window");
        } else if (keyword == L"post") {
            PostMessageW(window, static_cast<UINT>(message), wParam, static_cast<LPARAM>(lParam));
        } else {
            SendMessageW(window, static_cast<UINT>(message), wParam, static_cast<LPARAM>(lParam));
        }
        return true;
    }
    if (keyword == L"probe") {
        if (operand == L"window") {
            probeWindow(host.hostWindow());
            return true;
        }
        if (operand == L"client") {
            probeClient(host.hostWindow());
            return true;
        }
        if (operand == L"box") {
            probeBox(openMessageBox(), host.hostWindow());
            return true;
        }
        if (operand == L"foreground") {
            probeForeground(openMessageBox(), host.hostWindow());
            return true;
        }
        if (operand == L"mode") {
            logLine(L"probe mode current=" + modeText(ENUM_CURRENT_SETTINGS) + L" registry=" +
                    modeText(ENUM_REGISTRY_SETTINGS));
            return true;
        }
        if (operand == L"wallpaper") {
            wchar_t wallpaper[MAX_PATH] = {};
            SystemParametersInfoW(SPI_GETDESKWALLPAPER, ARRAYSIZE(wallpaper), wallpaper, 0);
            logLine(L"probe wallpaper " + std::wstring(wallpaper));
            return true;
        }
        const std::wstring registry = L"registry ";
        if (operand.compare(0, registry.size(), registry) == 0) {
            std::wstring location = operand.substr(registry.size());
            logLine(L"probe registry " + location + L" = " + registryData(location));
            return true;
        }
        return false;
    }
    if (keyword == L"click" && operand == L"game") {
        onHostWindow(host.hostWindow(), line, clickGame);
        return true;
    }
    if (keyword == L"misaligned") {
        struct Call {
            Script* script;
            std::wstring step;
            bool known;
        } call{this, operand, false};
        callMisaligned(
            [](void* argument) {
                auto& misaligned = *static_cast<Call*>(argument);
                misaligned.known = misaligned.script->runNestedStep(misaligned.step);
            },
            &call);
        return call.known;
    }
    if (keyword == L"crash" && operand.empty()) {
        crash();
        return true;
    }
    if (keyword == L"crash" && operand == L"here") {
        raiseAccessViolation();
        return true;
    }
    if (keyword == L"crash" && operand == L"locked") {
        // As a crash inside the heap's own code: its lock stays held.
        HeapLock(GetProcessHeap());
        raiseAccessViolation();
        return true;
    }
    if (keyword == L"terminate" && operand.empty()) {
        TerminateProcess(GetCurrentProcess(), terminatedCode);
        return true;
    }
    if (keyword == L"overflow" && operand.empty()) {
        useUpStack(0);
        return true;
    }
    return false;
}
