#include "base/crash_upload.h"

#include "base/exception_report.h"
#include "base/handles.h"
#include "base/program.h"
#include "base/system_library.h"

#include <commctrl.h>

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using TaskDialogIndirectFunction = decltype(&TaskDialogIndirect);

constexpr DWORD uploadBound = 30000;
constexpr int triesAtMost = 3;
// A minidump of the game is a few megabytes; anything far larger is no dump
// of ours, and would not fit a 32-bit watcher's memory twice.
constexpr LONGLONG dumpSizeAtMost = 64 << 20;
constexpr int sendButton = 100;
constexpr int dontSendButton = 101;
constexpr wchar_t answerValue[] = L"CrashReports";
// A waiting report is marked by an empty file beside its dump named for the
// tries made, DUMP.unsent1 to DUMP.unsent3. A try renames the mark before it
// starts: the count is never half written, a try cut short by the end of the
// process still counts, and of two watchers only one gets the rename.
constexpr wchar_t waitingMark[] = L".unsent";

void debugLine(const std::wstring& text) {
    OutputDebugStringW((L"gamehost: crash report " + text + L"\n").c_str());
}

std::wstring markOf(const std::wstring& dump, int tries) {
    return dump + waitingMark + std::to_wstring(tries);
}

std::string toUtf8(const std::wstring& text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length,
                        nullptr, nullptr);
    return result;
}

std::wstring fromUtf8(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

enum class Answer { ask, send, never };

// Per user, beside the dumps' names: HKEY_CURRENT_USER\Software\COMPANY\PRODUCT.
std::wstring answerKey(const CrashDumpNames& names) {
    return L"Software\\" + fileNamePart(names.company) + L"\\" + fileNamePart(names.product);
}

Answer keptAnswer(const CrashDumpNames& names) {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, answerKey(names).c_str(), 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        // What a failed call left there is no key of ours.
        key.release();
        return Answer::ask;
    }
    // Room for the terminating null a stored value may lack.
    wchar_t value[8] = {};
    DWORD type = 0;
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), answerValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return Answer::ask;
    }
    if (_wcsicmp(value, L"send") == 0) {
        return Answer::send;
    }
    return _wcsicmp(value, L"never") == 0 ? Answer::never : Answer::ask;
}

void keepAnswer(const CrashDumpNames& names, bool send) {
    UniqueKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, answerKey(names).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
        key.release();
        return;
    }
    const std::wstring value = send ? L"send" : L"never";
    RegSetValueExW(key.get(), answerValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// The watcher runs in the background, and the game's fullscreen window may
// have been the last thing on screen: the box goes on top of the topmost
// band and asks for the foreground (where the system refuses that to a
// background process, it flashes the box's taskbar button instead).
HRESULT CALLBACK bringBoxForward(HWND box, UINT notification, WPARAM, LPARAM, LONG_PTR) {
    try {
        if (notification == TDN_CREATED) {
            SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            SetForegroundWindow(box);
        }
    } catch (...) {
        reportCaughtException(L"bringBoxForward");
    }
    return S_OK;
}

// Asks the player; keeps the answer when the player asks for that. Any
// answer but the Send button (Esc, the close button, Alt+F4) is no.
bool playerAgrees(const CrashReportSettings& settings) {
    // Task dialogs are in version 6 of the common controls only, which the
    // name gives inside this context. Loaded until the process ends.
    const UniqueActivationContext context = programManifestContext(settings.commonControlsManifest);
    const ActivationScope scope(context.get());
    const auto showTaskDialog =
        scope.active()
            ? procedure<TaskDialogIndirectFunction>(LoadLibraryW(L"comctl32.dll"), "TaskDialogIndirect")
            : nullptr;
    if (!showTaskDialog) {
        debugLine(L"not sent: no task dialog to ask the player with");
        return false;
    }
    const std::wstring company = settings.names.company;
    const std::wstring product = settings.names.product;
    const std::wstring question =
        product + L" stopped because of an error. Send a report to " + company + L"?";
    const std::wstring content =
        L"The report holds the state of the game's memory at the moment of the crash: the stacks of its "
        L"threads and the list of the program files it had loaded. It holds none of your personal files. " +
        company + L" uses it to find and fix the error.";
    const TASKDIALOG_BUTTON buttons[] = {{sendButton, L"Send"}, {dontSendButton, L"Don't send"}};
    TASKDIALOGCONFIG box = {};
    box.cbSize = sizeof(box);
    box.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
    box.pszWindowTitle = product.c_str();
    box.pszMainInstruction = question.c_str();
    box.pszContent = content.c_str();
    box.cButtons = static_cast<UINT>(std::size(buttons));
    box.pButtons = buttons;
    box.nDefaultButton = dontSendButton;
    box.pszVerificationText = L"Remember my answer";
    box.pfCallback = bringBoxForward;
    int button = 0;
    BOOL keep = FALSE;
    if (FAILED(showTaskDialog(&box, &button, nullptr, &keep))) {
        debugLine(L"not sent: the box could not be shown");
        return false;
    }
    const bool send = button == sendButton;
    if (keep) {
        keepAnswer(settings.names, send);
    }
    return send;
}

struct Address {
    std::wstring host;
    std::wstring path;
    INTERNET_PORT port = 0;
    bool secure = false;
    bool local = false;
};

// Https, or plain http to this machine only: the configure step refuses
// other addresses, and so does this, for a program file changed since.
bool readAddress(const WinHttpLibrary& http, const wchar_t* text, Address& address) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    // Nonzero lengths without buffers: the parts point into the text.
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
    if (!http.crackUrl(text, 0, 0, &parts)) {
        return false;
    }
    address.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    address.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    address.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (address.path.empty()) {
        address.path = L"/";
    }
    address.port = parts.nPort;
    address.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    address.local = _wcsicmp(address.host.c_str(), L"127.0.0.1") == 0 ||
                    _wcsicmp(address.host.c_str(), L"localhost") == 0;
    return address.secure || (parts.nScheme == INTERNET_SCHEME_HTTP && address.local);
}

bool readDump(const std::wstring& path, std::string& content) {
    const UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > dumpSizeAtMost) {
        return false;
    }
    content.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr) &&
           read == content.size();
}

std::string formField(const std::string& boundary, const std::string& name, const std::string& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
           "\r\n";
}

// The request as Breakpad's and Crashpad's clients post it, which Sentry's
// minidump endpoint, Backtrace and BugSplat take; the dump's file name holds
// no quote (fileNamePart).
std::string formBody(const std::string& boundary, const CrashDumpNames& names, const std::wstring& dumpName,
                     const std::string& dump) {
    const std::string product = toUtf8(names.product);
    const std::string version = toUtf8(names.version);
    return formField(boundary, "prod", product) + formField(boundary, "ver", version) +
           formField(boundary, "sentry[release]", product + "@" + version) + "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"upload_file_minidump\"; filename=\"" +
           toUtf8(dumpName) + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + dump + "\r\n--" +
           boundary + "--\r\n";
}

// A boundary that none of the parts holds.
std::string boundaryFor(const std::string& parts) {
    for (unsigned long long number = GetTickCount64() ^ GetCurrentProcessId();; ++number) {
        const std::string boundary = "gamehost-crash-report-" + std::to_string(number);
        if (parts.find(boundary) == std::string::npos) {
            return boundary;
        }
    }
}

// The start of the server's answer, for the debugger output.
std::string firstLine(const WinHttpLibrary& http, HINTERNET request) {
    std::string text;
    char buffer[256];
    DWORD read = 0;
    while (text.find('\n') == std::string::npos && text.size() < sizeof buffer &&
           http.readData(request, buffer, sizeof buffer, &read) && read > 0) {
        text.append(buffer, read);
    }
    return text.substr(0, (std::min)(text.find_first_of("\r\n"), sizeof buffer));
}

// What the upload's thread shares with the caller waiting for it. At the
// bound the caller closes the request, which ends a call on it in progress,
// and leaves the thread to end by itself.
struct Upload {
    std::mutex mutex;
    std::condition_variable finishedChanged;
    HINTERNET request = nullptr;
    bool abandoned = false;
    bool finished = false;
    bool sent = false;
};

struct Post {
    Address address;
    std::wstring agent;
    std::wstring headers;
    std::string body;
    std::wstring name;
};

// Posts the report; the server's answer goes to the debugger output.
void post(Upload& upload, Post& report) {
    const WinHttpLibrary& http = *winHttpLibrary();
    // A server on this machine is never reached through a proxy.
    const UniqueInternet session(
        http.open(report.agent.c_str(),
                  report.address.local ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session) {
        // Windows 7 and 8 offer TLS 1.0 only unless asked, and report
        // servers want 1.2; 1.3 where the system knows it.
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
        if (!http.setOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
            http.setOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
        }
        http.setTimeouts(session.get(), uploadBound, uploadBound, uploadBound, uploadBound);
    }
    const UniqueInternet connection(
        session ? http.connect(session.get(), report.address.host.c_str(), report.address.port, 0) : nullptr);
    UniqueInternet request(connection
                               ? http.openRequest(connection.get(), L"POST", report.address.path.c_str(),
                                                  nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                  report.address.secure ? WINHTTP_FLAG_SECURE : 0)
                               : nullptr);
    {
        const std::lock_guard<std::mutex> lock(upload.mutex);
        if (upload.abandoned) {
            return;
        }
        upload.request = request.get();
    }
    const DWORD size = static_cast<DWORD>(report.body.size());
    const bool answered = request &&
                          http.sendRequest(request.get(), report.headers.c_str(), static_cast<DWORD>(-1),
                                           report.body.data(), size, size, 0) &&
                          http.receiveResponse(request.get(), nullptr);
    const DWORD error = GetLastError();
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    std::string line;
    if (answered) {
        http.queryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
        line = firstLine(http, request.get());
    }
    const std::lock_guard<std::mutex> lock(upload.mutex);
    upload.request = nullptr;
    if (upload.abandoned) {
        // Closed by the caller at the bound.
        request.release();
        return;
    }
    upload.sent = answered && status >= 200 && status < 300;
    upload.finished = true;
    upload.finishedChanged.notify_all();
    debugLine(report.name + (answered
                                 ? L": the server answered " + std::to_wstring(status) + L" " + fromUtf8(line)
                                 : L": not sent, error " + std::to_wstring(error)));
}

// Sends the report of `dump` within `bound`; true when the server took it.
bool sendReport(const CrashReportSettings& settings, const std::wstring& dump, DWORD bound) {
    const WinHttpLibrary* http = winHttpLibrary();
    Post report;
    report.name = dump.substr(dump.rfind(L'\\') + 1);
    std::string content;
    if (!http || !readAddress(*http, settings.address, report.address)) {
        debugLine(report.name +
                  L": not sent: no WinHTTP, or the address is neither https nor this machine's");
        return false;
    }
    if (!readDump(dump, content)) {
        debugLine(report.name + L": not sent: the dump cannot be read");
        return false;
    }
    const std::string boundary =
        boundaryFor(content + toUtf8(settings.names.product) + toUtf8(settings.names.version));
    report.body = formBody(boundary, settings.names, report.name, content);
    report.headers = L"Content-Type: multipart/form-data; boundary=" + fromUtf8(boundary);
    report.agent = std::wstring(settings.names.product) + L"/" + settings.names.version;
    const auto upload = std::make_shared<Upload>();
    std::thread poster([upload, report = std::move(report)]() mutable {
        try {
            post(*upload, report);
        } catch (...) {
            reportCaughtException(L"crash report upload");
        }
    });
    std::unique_lock<std::mutex> lock(upload->mutex);
    if (upload->finishedChanged.wait_for(lock, std::chrono::milliseconds(bound),
                                         [&] { return upload->finished; })) {
        lock.unlock();
        poster.join();
        return upload->sent;
    }
    upload->abandoned = true;
    if (upload->request) {
        http->closeHandle(upload->request);
    }
    lock.unlock();
    poster.detach();
    debugLine(dump.substr(dump.rfind(L'\\') + 1) + L": not sent within the bound");
    return false;
}

// One try at the report of `dump` after `triesBefore` others, marked before
// it is made; a mark already taken (another watcher's try) is left alone.
void tryReport(const CrashReportSettings& settings, const std::wstring& dump, int triesBefore, DWORD bound) {
    const std::wstring mark = markOf(dump, triesBefore + 1);
    const bool claimed = triesBefore == 0
                             ? static_cast<bool>(UniqueFile(CreateFileW(mark.c_str(), GENERIC_WRITE, 0,
                                                                        nullptr, CREATE_NEW, 0, nullptr)))
                             : MoveFileW(markOf(dump, triesBefore).c_str(), mark.c_str());
    if (claimed && (sendReport(settings, dump, bound) || triesBefore + 1 >= triesAtMost)) {
        DeleteFileW(mark.c_str());
    }
}

} // namespace

void reportCrash(const CrashReportSettings& settings, const std::wstring& dump) {
    if (!*settings.address) {
        return;
    }
    const Answer answer = keptAnswer(settings.names);
    if (answer == Answer::never || (answer == Answer::ask && !playerAgrees(settings))) {
        return;
    }
    tryReport(settings, dump, 0, uploadBound);
}

void sendWaitingReports(const CrashReportSettings& settings, const std::wstring& dumpFolder) {
    if (!*settings.address || keptAnswer(settings.names) == Answer::never) {
        return;
    }
    // All found first: each try renames a mark.
    std::vector<std::wstring> marks;
    WIN32_FIND_DATAW found;
    const UniqueFind search(FindFirstFileW((dumpFolder + L"\\*.dmp" + waitingMark + L"?").c_str(), &found));
    if (search) {
        do {
            marks.push_back(found.cFileName);
        } while (FindNextFileW(search.get(), &found));
    }
    const DWORD start = GetTickCount();
    for (const std::wstring& mark : marks) {
        const int tries = mark.back() - L'0';
        const std::wstring dump =
            dumpFolder + L"\\" + mark.substr(0, mark.size() - std::wcslen(waitingMark) - 1);
        if (tries < 1 || tries >= triesAtMost ||
            GetFileAttributesW(dump.c_str()) == INVALID_FILE_ATTRIBUTES) {
            DeleteFileW((dumpFolder + L"\\" + mark).c_str());
            continue;
        }
        const DWORD spent = GetTickCount() - start;
        if (spent >= uploadBound) {
            return;
        }
        tryReport(settings, dump, tries, uploadBound - spent);
    }
}

void forgetCrashReport(const std::wstring& dump) {
    for (int tries = 1; tries <= triesAtMost; ++tries) {
        DeleteFileW(markOf(dump, tries).c_str());
    }
}
