#include "tests/host_run.h"

#include <dbghelp.h>
#include <dlgs.h>
#include <tlhelp32.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

std::wstring windowText(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, static_cast<int>(std::size(text)));
    return text;
}

// Boxes the script arms itself for are closed by the stand-in within a few
// ticks; the test closes only those left standing for this long.
constexpr DWORD boxPatience = 1000;

// The open-file dialog is the stand-in's alone to answer, however long it
// takes to fill its folder view: on a loaded machine under the emulator that
// can be well past the patience above, and it is no box nobody expected.
bool isFileDialog(HWND window) {
    wchar_t className[32] = {};
    const HWND nameBox = GetDlgItem(window, cmb13);
    return nameBox && GetClassNameW(nameBox, className, static_cast<int>(std::size(className))) &&
           std::wstring(className) == L"ComboBoxEx32";
}

struct BoxCloser {
    DWORD processId;
    std::wstring log;
    std::map<HWND, DWORD>* firstSeen;
    std::set<HWND>* closed;
    std::vector<std::string>* boxes;
    std::vector<size_t>* linesAtBoxes;
};

BOOL CALLBACK closeBox(HWND window, LPARAM parameter) {
    auto& closer = *reinterpret_cast<BoxCloser*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[32] = {};
    GetClassNameW(window, className, static_cast<int>(std::size(className)));
    if (owner != closer.processId || std::wstring(className) != L"#32770" || !IsWindowVisible(window) ||
        closer.closed->count(window) || isFileDialog(window)) {
        return TRUE;
    }
    const DWORD now = GetTickCount();
    const DWORD seen = closer.firstSeen->emplace(window, now).first->second;
    if (now - seen < boxPatience) {
        return TRUE;
    }
    closer.closed->insert(window);
    closer.boxes->push_back(utf8(windowText(window)) + "|" + utf8(windowText(GetDlgItem(window, 0xFFFF))));
    closer.linesAtBoxes->push_back(readLines(closer.log).size());
    PostMessageW(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
    return TRUE;
}

constexpr wchar_t overridesKey[] = L"Software\\Wine\\AppDefaults\\gamehost.exe\\DllOverrides";

} // namespace

NativeLibrariesFirst::NativeLibrariesFirst(std::initializer_list<const wchar_t*> names) {
    static constexpr wchar_t nativeFirst[] = L"native,builtin";
    if (RegCreateKeyExW(HKEY_CURRENT_USER, overridesKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        overrides_.put(), nullptr) != ERROR_SUCCESS) {
        // What a failed call left there is no key of ours.
        overrides_.release();
        return;
    }
    for (const wchar_t* name : names) {
        RegSetValueExW(overrides_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(nativeFirst),
                       sizeof nativeFirst);
    }
}

NativeLibrariesFirst::~NativeLibrariesFirst() {
    if (overrides_) {
        overrides_.reset();
        RegDeleteKeyW(HKEY_CURRENT_USER, overridesKey);
    }
}

ProgramFolder::ProgramFolder(const std::wstring& builtProgram, const std::wstring& name) : name_(name) {
    CopyFileW(unixFilePath(builtProgram).c_str(), program().c_str(), FALSE);
}

Lines startupCalls(const ProgramFolder& folder, const std::wstring& player) {
    return {created(player),
            "query IConnectionPointContainer",
            "find connection point",
            "advise",
            "get FlashVersion",
            "call DisableLocalSecurity",
            "put Movie " + utf8(folder.path()) + "\\game.swf",
            "put Menu false"};
}

Lines openedAddresses() {
    return readLines(unixFilePath(BENCH_BROWSER_LOG));
}

Lines addressesOpenedAfter(size_t opened) {
    pumpUntil([&] { return openedAddresses().size() > opened; }, 5000);
    const Lines addresses = openedAddresses();
    return Lines(addresses.begin() + std::min(opened, addresses.size()), addresses.end());
}

PROCESS_INFORMATION ProgramFolder::start(const std::string& script, const Environment& environment,
                                         const std::wstring& arguments) {
    writeUtf8File(folder_.file(L"game.swf"), script);
    DeleteFileW(log().c_str());
    Environment variables = environment;
    variables.emplace_back(L"STANDIN_LOG", log());
    for (const auto& [name, value] : variables) {
        SetEnvironmentVariableW(name.c_str(), value.c_str());
    }
    std::wstring commandLine = L"\"" + program() + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const std::wstring& current = workingFolder_.empty() ? path() : workingFolder_;
    CreateProcessW(program().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                   current.c_str(), &startup, &process);
    for (const auto& variable : variables) {
        SetEnvironmentVariableW(variable.first.c_str(), nullptr);
    }
    return process;
}

HostRun ProgramFolder::finish(PROCESS_INFORMATION process, DWORD milliseconds) {
    HostRun run;
    std::map<HWND, DWORD> firstSeen;
    std::set<HWND> closed;
    BoxCloser closer{process.dwProcessId, log(), &firstSeen, &closed, &run.boxes, &run.logLinesAtBoxes};
    const DWORD started = GetTickCount();
    while (process.hProcess && WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        EnumWindows(closeBox, reinterpret_cast<LPARAM>(&closer));
        if (GetTickCount() - started > milliseconds) {
            run.timedOut = true;
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
            break;
        }
    }
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    if (processHandle) {
        GetExitCodeProcess(processHandle.get(), &run.exitCode);
    }
    // The watcher is a copy of the program's own file, under the game's name.
    const std::wstring programName = program().substr(program().find_last_of(L'\\') + 1);
    const UniqueHandle watcher = watcherOf(process.dwProcessId, programName);
    run.watcherLingered = watcher && WaitForSingleObject(watcher.get(), watcherBound) == WAIT_TIMEOUT;
    run.processId = process.dwProcessId;
    run.threadId = process.dwThreadId;
    run.log = readLines(log());
    return run;
}

UniqueHandle watcherOf(DWORD gameProcessId, const std::wstring& programName) {
    const UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == gameProcessId &&
            _wcsicmp(entry.szExeFile, programName.c_str()) == 0) {
            return UniqueHandle(
                OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                            entry.th32ProcessID));
        }
    }
    return {};
}

HWND gameWindowOf(DWORD processId) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"AtlWin", nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId) {
            return window;
        }
    }
    return nullptr;
}

bool logShows(const ProgramFolder& folder, const std::string& line, DWORD milliseconds) {
    return pumpUntil(
        [&] {
            const Lines log = readLines(folder.log());
            return std::find(log.begin(), log.end(), line) != log.end();
        },
        milliseconds);
}

bool startRunningGame(ProgramFolder& folder, PROCESS_INFORMATION& running) {
    running = folder.start("");
    return logShows(folder, "put Menu false");
}

HostRun closeGame(ProgramFolder& folder, PROCESS_INFORMATION running) {
    if (const HWND game = gameWindowOf(running.dwProcessId)) {
        PostMessageW(game, WM_CLOSE, 0, 0);
    }
    return folder.finish(running);
}

std::string currentDisplayMode() {
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode);
    return std::to_string(mode.dmPelsWidth) + "x" + std::to_string(mode.dmPelsHeight) + "x" +
           std::to_string(mode.dmBitsPerPel);
}

std::vector<std::string> afterStartup(const HostRun& run) {
    const auto menu = std::find(run.log.begin(), run.log.end(), "put Menu false");
    return menu == run.log.end() ? std::vector<std::string>{}
                                 : std::vector<std::string>(menu + 1, run.log.end());
}

Lines operator+(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

const std::string desktopMode = "1280x1024x32";
const std::string windowClose = "call CallFunction <invoke name=\"windowClose\" ></invoke>";
const std::string queuedWindowClose =
    "call CallFunction <invoke name=\"windowClose\" returntype=\"xml\"></invoke>";
const std::string gameMinimized = "call CallFunction <invoke name=\"gameMinimized\" ></invoke>";
const std::string gameMaximized = "call CallFunction <invoke name=\"gameMaximized\" ></invoke>";
const std::string rightClick = "call CallFunction <invoke name=\"rightClick\" returntype=\"xml\"></invoke>";
const std::string fullscreenWindow = "probe window caption=\"\" style=0x94000000 exstyle=0x00000008 "
                                     "rect=0,0,1024,768 topmost=1 visible=1 iconic=0";
const Lines quitting = {"event FSCommand quit", "  " + windowClose, "close", "release"};

std::string rect(int left, int top, int right, int bottom) {
    return std::to_string(left) + "," + std::to_string(top) + "," + std::to_string(right) + "," +
           std::to_string(bottom);
}

namespace {

RECT framedRectangle(int width, int height) {
    RECT outer = {0, 0, width, height};
    AdjustWindowRectEx(&outer, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE, WS_EX_WINDOWEDGE);
    return outer;
}

} // namespace

// A game too large for the work area (the bench's starts at 0, 0) is fitted
// into it with its aspect kept.
std::string windowedWindow(int width, int height) {
    const RECT frame = framedRectangle(0, 0);
    const int frameWidth = frame.right - frame.left;
    const int frameHeight = frame.bottom - frame.top;
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int roomWidth = work.right - frameWidth;
    const int roomHeight = work.bottom - frameHeight;
    if (width > roomWidth || height > roomHeight) {
        const bool widthBound = int64_t{roomWidth} * height <= int64_t{roomHeight} * width;
        const int fittedWidth = widthBound ? roomWidth : MulDiv(width, roomHeight, height);
        height = widthBound ? MulDiv(height, roomWidth, width) : roomHeight;
        width = fittedWidth;
    }
    return "probe window caption=\"\" style=0x14CA0000 exstyle=0x00000100 rect=" +
           rect(0, 0, width + frameWidth, height + frameHeight) + " topmost=0 visible=1 iconic=0";
}

std::string windowedClient(int width, int height) {
    const RECT outer = framedRectangle(width, height);
    return "probe client rect=" + rect(-outer.left, -outer.top, width - outer.left, height - outer.top);
}

HWND boxOf(DWORD processId) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"#32770", nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window)) {
            return window;
        }
    }
    return nullptr;
}

// Minimised, with the style the display reset gives (popup and system menu)
// and still in the topmost band. Known Wine difference: Wine parks a
// minimised window at the bottom-left corner of its virtual desktop; Windows
// would report an off-screen place.
std::string minimisedWindow(int desktopHeight) {
    const int width = GetSystemMetrics(SM_CXMINIMIZED);
    const int height = GetSystemMetrics(SM_CYMINIMIZED);
    return "probe window caption=\"\" style=0xB4080000 exstyle=0x00000008 rect=" +
           rect(0, desktopHeight - height, width, desktopHeight) + " topmost=1 visible=1 iconic=1";
}

DisplayChanges::DisplayChanges() {
    const UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_ = std::thread([this, event = ready.get()] { watch(event); });
    WaitForSingleObject(ready.get(), INFINITE);
}

DisplayChanges::~DisplayChanges() {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
}

LRESULT CALLBACK DisplayChanges::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DISPLAYCHANGE) {
        ++reinterpret_cast<DisplayChanges*>(GetWindowLongPtrW(window, GWLP_USERDATA))->count_;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void DisplayChanges::watch(HANDLE ready) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.lpszClassName = L"DisplayChanges";
    RegisterClassW(&windowClass);
    // A hidden top-level window: broadcasts reach it, message-only ones not.
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, nullptr, WS_POPUP, 0, 0, 0, 0, nullptr,
                                        nullptr, nullptr, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    threadId_ = GetCurrentThreadId();
    SetEvent(ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
}

std::string setResolutionRequest(int width, int height) {
    return flashCallRequest("setResolution", "<number>" + std::to_string(width) + "</number><number>" +
                                                 std::to_string(height) + "</number>");
}

std::string setResolution(int width, int height) {
    return "flashcall " + setResolutionRequest(width, height);
}

std::string setResolutionEvent(int width, int height) {
    return "event FlashCall " + setResolutionRequest(width, height);
}

const std::string minimisedFromItsFrame = "fscommand fullscreen false\nemulate minimize\n"
                                          "send WM_SYSCOMMAND 0xF020 0\nfscommand fullscreen true\n"
                                          "send WM_ACTIVATE WA_ACTIVE 0\nprobe window\nprobe client\n";

Lines minimisedFromItsFrameLog(const std::string& window, const std::string& client) {
    return {"event FSCommand fullscreen false",
            "emulate minimize",
            "send WM_SYSCOMMAND 0xF020 0",
            "deactivated by minimize",
            gameMinimized,
            "event FSCommand fullscreen true",
            "send WM_ACTIVATE WA_ACTIVE 0",
            gameMaximized,
            window,
            client};
}

std::wstring AppData::dumpFolder() const {
    return folder_.path() + L"\\" GAMEHOST_COMPANY_NAME L"\\" GAMEHOST_PRODUCT_NAME L"\\CrashDumps";
}

std::vector<std::wstring> AppData::dumps() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const UniqueFind find(FindFirstFileW((dumpFolder() + L"\\*.dmp").c_str(), &entry));
    if (find) {
        do {
            names.push_back(entry.cFileName);
        } while (FindNextFileW(find.get(), &entry));
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::string lowerFileName(const std::wstring& path) {
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    CharLowerW(name.data());
    return utf8(name);
}

} // namespace

CrashDump readCrashDump(const std::wstring& path) {
    CrashDump dump;
    const UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    const UniqueHandle mapping(file ? CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr)
                                    : nullptr);
    const UniqueView view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    if (!view) {
        return dump;
    }
    void* stream = nullptr;
    ULONG size = 0;
    if (!MiniDumpReadDumpStream(view.get(), ExceptionStream, nullptr, &stream, &size)) {
        return dump;
    }
    const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
    dump.code = exception->ExceptionRecord.ExceptionCode;
    dump.thread = exception->ThreadId;
    if (!MiniDumpReadDumpStream(view.get(), ModuleListStream, nullptr, &stream, &size)) {
        return dump;
    }
    const auto* modules = static_cast<const MINIDUMP_MODULE_LIST*>(stream);
    for (ULONG i = 0; i < modules->NumberOfModules; ++i) {
        const auto* name = reinterpret_cast<const MINIDUMP_STRING*>(static_cast<const BYTE*>(view.get()) +
                                                                    modules->Modules[i].ModuleNameRva);
        dump.modules.push_back(lowerFileName(std::wstring(name->Buffer, name->Length / sizeof(wchar_t))));
    }
    dump.parsed = true;
    return dump;
}

::testing::AssertionResult leftOneCrashDump(const AppData& appData, const HostRun& run, DWORD thread,
                                            DWORD code) {
    const std::vector<std::wstring> dumps = appData.dumps();
    if (dumps.size() != 1) {
        return ::testing::AssertionFailure() << dumps.size() << " dumps";
    }
    const std::wstring& name = dumps.front();
    const std::wstring prefix = L"" GAMEHOST_PRODUCT_NAME L"-" GAMEHOST_VERSION_NAME L"-";
    const std::wstring suffix = L"-" + std::to_wstring(run.processId) + L".dmp";
    // PREFIX, then YYYYMMDD-HHMMSS, then SUFFIX.
    if (name.size() != prefix.size() + 15 + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return ::testing::AssertionFailure() << "named " << utf8(name);
    }
    const CrashDump dump = readCrashDump(appData.dumpFolder() + L"\\" + name);
    const auto holds = [&](const std::string& module) {
        return std::find(dump.modules.begin(), dump.modules.end(), module) != dump.modules.end();
    };
    const std::string player = lowerFileName(registeredStandIn());
    if (!dump.parsed || dump.code != code || dump.thread != thread || !holds("gamehost.exe") ||
        !holds(player)) {
        return ::testing::AssertionFailure()
               << "parsed " << dump.parsed << ", code 0x" << std::hex << dump.code << ", thread " << std::dec
               << dump.thread << " (expected " << thread << "), " << dump.modules.size() << " modules";
    }
    return ::testing::AssertionSuccess();
}
