#include "tests/standin_session.h"

#include "bridge/flash_control.h"

#include <ocidl.h>

#include <algorithm>
#include <fstream>

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

// Wine shows the Unix file system on Z:.
std::wstring unixFilePath(const std::wstring& path) {
    std::wstring windowsPath = L"Z:" + path;
    std::replace(windowsPath.begin(), windowsPath.end(), L'/', L'\\');
    return windowsPath;
}

std::wstring registeredStandIn() {
    return unixFilePath(STANDIN_DLL);
}

std::string created(const std::wstring& module) {
    return "create " + utf8(module);
}

TempFolder::TempFolder() {
    static unsigned counter = 0;
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    for (;;) {
        path_ = std::wstring(base) + L"hosttest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
        if (CreateDirectoryW(path_.c_str(), nullptr)) {
            return;
        }
    }
}

namespace {

void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            const std::wstring path = folder + L"\\" + name;
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DeleteFileW(path.c_str());
            } else if (name != L"." && name != L"..") {
                removeTree(path);
            }
        } while (FindNextFileW(find.get(), &entry));
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

TempFolder::~TempFolder() {
    removeTree(path_);
}

std::string flashCallRequest(const std::string& name, const std::string& arguments) {
    return "<invoke name=\"" + name + "\" returntype=\"xml\"><arguments>" + arguments +
           "</arguments></invoke>";
}

namespace {
DebugOutputCapture* capture = nullptr;
} // namespace

DebugOutputCapture::DebugOutputCapture() {
    capture = this;
    handler_ = AddVectoredExceptionHandler(1, collect);
}

DebugOutputCapture::~DebugOutputCapture() {
    RemoveVectoredExceptionHandler(handler_);
    capture = nullptr;
}

// OutputDebugStringW ends in the narrow form on Windows and Wine alike:
// length with the NUL, then the text.
LONG CALLBACK DebugOutputCapture::collect(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    if (capture && record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2) {
        capture->lines_.emplace_back(reinterpret_cast<const char*>(record.ExceptionInformation[1]),
                                     static_cast<size_t>(record.ExceptionInformation[0]) - 1);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void writeUtf8File(const std::wstring& path, const std::string& text) {
    std::ofstream out(path.c_str(), std::ios::binary);
    out << text;
}

std::vector<std::string> readLines(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

StandInSession::StandInSession(const Environment& environment) : environment_(environment) {
    environment_.emplace_back(L"STANDIN_LOG", folder_.file(L"standin.log"));
    for (const auto& [name, value] : environment_) {
        SetEnvironmentVariableW(name.c_str(), value.c_str());
    }
}

StandInSession::~StandInSession() {
    // Before the variables go: the stand-in logs its release.
    control_.reset();
    for (const auto& variable : environment_) {
        SetEnvironmentVariableW(variable.first.c_str(), nullptr);
    }
}

HRESULT StandInSession::create() {
    return CoCreateInstance(CLSID_ShockwaveFlash, nullptr, CLSCTX_ALL, IID_IShockwaveFlash,
                            control_.putVoid());
}

HRESULT StandInSession::connect(IDispatch* sink) {
    ComPtr<IConnectionPointContainer> container;
    HRESULT result = control_->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    if (FAILED(result)) {
        return result;
    }
    ComPtr<IConnectionPoint> point;
    result = container->FindConnectionPoint(DIID_IShockwaveFlashEvents, point.put());
    if (FAILED(result)) {
        return result;
    }
    DWORD cookie = 0;
    return point->Advise(sink, &cookie);
}

bool StandInSession::play(const std::string& script) {
    const std::wstring movie = folder_.file(L"game.swf");
    writeUtf8File(movie, script);
    putMovie(control_.get(), movie);
    return pumpUntil(
        [this] {
            const auto lines = log();
            return std::find(lines.begin(), lines.end(), "stop") != lines.end();
        },
        10000);
}

std::vector<std::string> StandInSession::scriptLog() const {
    const auto lines = log();
    const auto loaded = std::find_if(
        lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("put Movie ", 0) == 0; });
    return loaded == lines.end() ? std::vector<std::string>{}
                                 : std::vector<std::string>(loaded + 1, lines.end());
}
