// Crash reports sent with the player's consent, by a program built to send
// them to the test's report server on 127.0.0.1 (crash_report_server.py,
// started for each case by crash_upload_test.sh): with `send` kept one
// well-formed request; with no answer kept the box, and a box closed sends
// nothing; a report the server missed goes at the next start, once.
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>

namespace {

const std::wstring answerKey = L"Software\\" GAMEHOST_COMPANY_NAME L"\\" GAMEHOST_PRODUCT_NAME;
const std::string product = utf8(GAMEHOST_PRODUCT_NAME);
const std::string version = utf8(GAMEHOST_VERSION_NAME);

std::wstring environmentValue(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value ? value : L"";
}

std::string fileBytes(const std::wstring& path) {
    const UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes(file ? GetFileSize(file.get(), nullptr) : 0, '\0');
    DWORD read = 0;
    ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The server the script started, and what it recorded.
class ReportServer {
  public:
    // The report port stops listening, or listens again.
    bool down() const { return control(L"/down"); }
    bool up() const { return control(L"/up"); }
    size_t received() const {
        size_t count = 0;
        while (exists(record(count + 1) + L".txt")) {
            ++count;
        }
        return count;
    }
    Lines fields(size_t request) const { return readLines(record(request) + L".txt"); }
    std::string dump(size_t request) const { return fileBytes(record(request) + L".dmp"); }

  private:
    std::wstring record(size_t request) const { return folder_ + L"\\request-" + std::to_wstring(request); }
    bool control(const wchar_t* path) const {
        const WinHttpLibrary* http = winHttpLibrary();
        const UniqueInternet session(
            http ? http->open(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0) : nullptr);
        const UniqueInternet connection(session ? http->connect(session.get(), L"127.0.0.1", port_, 0)
                                                : nullptr);
        const UniqueInternet request(
            connection ? http->openRequest(connection.get(), L"GET", path, nullptr, nullptr, nullptr, 0)
                       : nullptr);
        return request && http->sendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0) &&
               http->receiveResponse(request.get(), nullptr);
    }
    std::wstring folder_ = unixFilePath(environmentValue(L"CRASH_REPORT_SERVER_FOLDER"));
    INTERNET_PORT port_ =
        static_cast<INTERNET_PORT>(_wtoi(environmentValue(L"CRASH_REPORT_CONTROL_PORT").c_str()));
};

// The player's kept answer for the test's length: `answer`, or none.
class KeptAnswer {
  public:
    explicit KeptAnswer(const wchar_t* answer) {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, answerKey.c_str(), L"CrashReports");
        if (answer) {
            RegSetKeyValueW(HKEY_CURRENT_USER, answerKey.c_str(), L"CrashReports", REG_SZ, answer,
                            static_cast<DWORD>((std::wcslen(answer) + 1) * sizeof(wchar_t)));
        }
    }
    KeptAnswer(const KeptAnswer&) = delete;
    KeptAnswer& operator=(const KeptAnswer&) = delete;
    ~KeptAnswer() { RegDeleteKeyValueW(HKEY_CURRENT_USER, answerKey.c_str(), L"CrashReports"); }
    std::wstring now() const {
        wchar_t value[16] = {};
        DWORD size = sizeof(value) - sizeof(wchar_t);
        RegGetValueW(HKEY_CURRENT_USER, answerKey.c_str(), L"CrashReports", RRF_RT_REG_SZ, nullptr, value,
                     &size);
        return value;
    }
};

// A watcher still asking when the test ends goes with it, not later.
struct EndsWithTheTest {
    HANDLE process;
    ~EndsWithTheTest() { TerminateProcess(process, 0); }
};

// Waits for the game's watcher to end by itself, which it does only when
// its work is done; false when it showed a box or outlived its bound.
bool watcherEndsAskingNothing(const HostRun& game) {
    const UniqueHandle watcher = watcherOf(game.processId);
    const EndsWithTheTest ending{watcher.get()};
    const DWORD id = watcher ? GetProcessId(watcher.get()) : 0;
    bool asked = false;
    const bool ended = !watcher || pumpUntil(
                                       [&] {
                                           asked = asked || boxOf(id);
                                           return WaitForSingleObject(watcher.get(), 0) == WAIT_OBJECT_0;
                                       },
                                       60000);
    return ended && !asked;
}

std::wstring windowText(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, static_cast<int>(std::size(text)));
    return text;
}

HWND childWithText(HWND parent, const std::wstring& text) {
    HWND child = nullptr;
    while ((child = FindWindowExW(parent, child, nullptr, nullptr)) != nullptr) {
        if (windowText(child) == text) {
            return child;
        }
    }
    return nullptr;
}

std::vector<std::wstring> marks(const AppData& appData) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    const UniqueFind search(FindFirstFileW((appData.dumpFolder() + L"\\*.unsent*").c_str(), &entry));
    for (BOOL more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &entry)) {
        found.push_back(entry.cFileName);
    }
    return found;
}

// The server got request `request`, well formed, holding the dump `name`.
void expectTheReportOf(const ReportServer& server, size_t request, const AppData& appData,
                       const std::wstring& name) {
    EXPECT_EQ((Lines{"prod=" + product, "ver=" + version, "sentry[release]=" + product + "@" + version,
                     "filename=" + utf8(name)}),
              server.fields(request));
    const std::string dump = fileBytes(appData.dumpFolder() + L"\\" + name);
    EXPECT_FALSE(dump.empty());
    EXPECT_TRUE(dump == server.dump(request)) << "the server got other bytes than the dump's";
}

TEST(CrashUpload, SendKeptPostsOneWellFormedRequest) {
    const KeptAnswer kept(L"send");
    const ReportServer server;
    const AppData appData;
    ProgramFolder folder(REPORTING_PROGRAM);
    const HostRun run = folder.run("crash\n", appData.environment());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
    ASSERT_TRUE(watcherEndsAskingNothing(run));
    ASSERT_EQ(1u, appData.dumps().size());
    ASSERT_EQ(1u, server.received());
    expectTheReportOf(server, 1, appData, appData.dumps().front());
    EXPECT_TRUE(marks(appData).empty());
}

// The player ticks "Remember my answer" and closes the box by its close
// button: nothing is sent, `never` is kept, and the next crash asks nothing.
TEST(CrashUpload, TheBoxClosedSendsNothingAndARememberedNoAsksNoMore) {
    const KeptAnswer kept(nullptr);
    const ReportServer server;
    const AppData appData;
    ProgramFolder folder(REPORTING_PROGRAM);
    const HostRun run = folder.run("crash\n", appData.environment());
    const UniqueHandle watcher = watcherOf(run.processId);
    ASSERT_TRUE(watcher) << "no watcher stayed to ask";
    const EndsWithTheTest ending{watcher.get()};
    HWND box = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (box = boxOf(GetProcessId(watcher.get()))) != nullptr; }, 60000));
    EXPECT_EQ(GAMEHOST_PRODUCT_NAME, windowText(box));
    EXPECT_EQ(L"Don't send", windowText(GetDlgItem(box, LOWORD(SendMessageW(box, DM_GETDEFID, 0, 0)))));
    const HWND remember = childWithText(box, L"Remember my answer");
    ASSERT_TRUE(remember);
    PostMessageW(remember, BM_CLICK, 0, 0);
    PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher.get(), 60000));
    EXPECT_EQ(0u, server.received());
    EXPECT_EQ(L"never", kept.now());

    const HostRun again = folder.run("crash\n", appData.environment());
    EXPECT_TRUE(watcherEndsAskingNothing(again));
    EXPECT_EQ(2u, appData.dumps().size());
    EXPECT_EQ(0u, server.received());
    EXPECT_TRUE(marks(appData).empty());
}

TEST(CrashUpload, AReportTheServerMissedIsSentOnceAtTheNextStart) {
    const KeptAnswer kept(L"send");
    const ReportServer server;
    const AppData appData;
    ProgramFolder folder(REPORTING_PROGRAM);
    ASSERT_TRUE(server.down());
    ASSERT_TRUE(watcherEndsAskingNothing(folder.run("crash\n", appData.environment())));
    ASSERT_EQ(1u, appData.dumps().size());
    const std::wstring name = appData.dumps().front();
    EXPECT_EQ(std::vector<std::wstring>{name + L".unsent1"}, marks(appData));

    ASSERT_TRUE(server.up());
    ASSERT_TRUE(watcherEndsAskingNothing(folder.run("fscommand quit\n", appData.environment())));
    ASSERT_EQ(1u, server.received());
    expectTheReportOf(server, 1, appData, name);
    EXPECT_TRUE(marks(appData).empty());

    ASSERT_TRUE(watcherEndsAskingNothing(folder.run("fscommand quit\n", appData.environment())));
    EXPECT_EQ(1u, server.received());
}

} // namespace
