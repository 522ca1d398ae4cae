// Drives the stand-in player control through the real COM path, as a minimal
// host does: created by CLSID, events through the connection point, a movie
// script run from the message loop, and the log compared line by line.
#include "tests/standin_session.h"

#include <commdlg.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const CLSID clsidPlayer = {0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID iidShockwaveFlash = {0xD27CDB6C, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID diidFlashEvents = {0xD27CDB6D, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr DISPID flashCallEvent = 0xC5;
constexpr DISPID fsCommandEvent = 0x96;
constexpr DWORD scriptTimeoutMs = 5000;

std::string hex32(DWORD value) {
    char text[16];
    wsprintfA(text, "0x%08X", value);
    return text;
}

// Runs the message loop until `done` says so or the time is up; false on time-out.
// WM_QUIT is only recorded: a test's loop outlives it.
bool pumpRecordingQuits(DWORD milliseconds, const std::function<bool()>& done,
                        std::vector<WPARAM>& quitCodes) {
    DWORD start = GetTickCount();
    MSG message;
    while (!done()) {
        if (GetTickCount() - start >= milliseconds) {
            return false;
        }
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quitCodes.push_back(message.wParam);
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

void pumpFor(DWORD milliseconds) {
    pumpUntil([] { return false; }, milliseconds);
}

// The host's side of the events: records them and lets a test answer them.
class RecordingSink : public IDispatch {
  public:
    struct Event {
        DISPID id;
        std::vector<std::wstring> arguments;
        DWORD time;
    };
    std::vector<Event> events;
    std::function<void(const std::wstring&)> onFlashCall;

    // Like the host's sink: only the event interface is answered.
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        try {
            *object = iid == diidFlashEvents ? this : nullptr;
            return *object ? S_OK : E_NOINTERFACE;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        try {
            Event event{id, {}, GetTickCount()};
            for (UINT i = params->cArgs; i-- > 0;) {
                const VARIANT& argument = params->rgvarg[i];
                event.arguments.push_back(V_VT(&argument) == VT_BSTR ? V_BSTR(&argument) : L"<not a BSTR>");
            }
            events.push_back(event);
            if (id == flashCallEvent && onFlashCall && !event.arguments.empty()) {
                onFlashCall(event.arguments[0]);
            }
        } catch (...) {
        }
        return S_OK;
    }
};

VARIANT text(const wchar_t* value) {
    VARIANT variant;
    V_VT(&variant) = VT_BSTR;
    V_BSTR(&variant) = SysAllocString(value);
    return variant;
}

VARIANT boolean(bool value) {
    VARIANT variant;
    V_VT(&variant) = VT_BOOL;
    V_BOOL(&variant) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return variant;
}

class StandInControl : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        // What an earlier test set must not reach this one's control.
        for (const wchar_t* name :
             {L"STANDIN_VERSION", L"STANDIN_FAIL", L"STANDIN_FAIL_HRESULT", L"STANDIN_FAIL_MODE"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        session = std::make_unique<StandInSession>();
        folder = session->folder().path();
        logPath = session->folder().file(L"standin.log");
        moviePath = session->folder().file(L"game.swf");
    }

    void TearDown() override {
        session.reset();
        CoUninitialize();
    }

    HRESULT create() { return session->create(); }
    IDispatch* control() const { return session->control(); }
    void connect() { EXPECT_EQ(S_OK, session->connect(&sink)); }
    void releaseControl() { session->takeControl().reset(); }

    // A call by name; arguments in their natural order.
    HRESULT call(const wchar_t* name, WORD flags, std::vector<VARIANT> arguments = {},
                 VARIANT* result = nullptr, EXCEPINFO* exception = nullptr) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        HRESULT found = control()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(found)) {
            return found;
        }
        std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        if (flags == DISPATCH_PROPERTYPUT) {
            params.rgdispidNamedArgs = &putId;
            params.cNamedArgs = 1;
        }
        EXCEPINFO ignored = {};
        HRESULT outcome = control()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                            exception ? exception : &ignored, nullptr);
        for (VARIANT& argument : reversed) {
            VariantClear(&argument);
        }
        return outcome;
    }

    std::vector<std::string> logLines() const { return session->log(); }

    // Loads the script as the movie and runs the loop until it has stopped.
    void runScript(const std::string& script) {
        writeUtf8File(moviePath, script);
        ASSERT_EQ(S_OK, call(L"Movie", DISPATCH_PROPERTYPUT, {text(moviePath.c_str())}));
        size_t stopsBefore = stopCount();
        ASSERT_TRUE(pumpRecordingQuits(
            scriptTimeoutMs, [&] { return stopCount() > stopsBefore; }, quitCodes))
            << "the script did not stop";
    }

    size_t stopCount() const {
        size_t stops = 0;
        for (const std::string& line : logLines()) {
            stops += line == "stop";
        }
        return stops;
    }

    std::vector<std::string> connected() const {
        return {created(), "query IConnectionPointContainer", "find connection point", "advise"};
    }

    std::vector<std::string> plus(std::vector<std::string> lines,
                                  const std::vector<std::string>& more) const {
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    }

    std::unique_ptr<StandInSession> session;
    std::wstring folder;
    std::wstring logPath;
    std::wstring moviePath;
    RecordingSink sink;
    std::vector<WPARAM> quitCodes;
};

TEST_F(StandInControl, TypedCallsAreServedAndLogged) {
    SetEnvironmentVariableW(L"STANDIN_VERSION", L"0x000A0003");
    ASSERT_EQ(S_OK, create());
    connect();
    VARIANT version;
    VariantInit(&version);
    ASSERT_EQ(S_OK, call(L"FlashVersion", DISPATCH_PROPERTYGET, {}, &version));
    EXPECT_EQ(VT_I4, V_VT(&version));
    EXPECT_EQ(0x000A0003, V_I4(&version));
    ASSERT_EQ(S_OK, call(L"flashversion", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &version));
    EXPECT_EQ(0x000A0003, V_I4(&version));
    EXPECT_EQ(S_OK, call(L"DisableLocalSecurity", DISPATCH_METHOD));
    EXPECT_EQ(S_OK, call(L"Menu", DISPATCH_PROPERTYPUT, {boolean(false)}));
    VARIANT one;
    V_VT(&one) = VT_I4;
    V_I4(&one) = 1;
    EXPECT_EQ(S_OK, call(L"Menu", DISPATCH_PROPERTYPUT, {one}));
    runScript("stop\n");
    UniqueVariant result;
    ASSERT_EQ(S_OK, call(L"CallFunction", DISPATCH_METHOD, {text(L"<invoke name=\"a\"/>")}, result.get()));
    ASSERT_EQ(VT_BSTR, V_VT(result.get()));
    EXPECT_STREQ(L"<null/>", V_BSTR(result.get()));
    EXPECT_EQ(S_OK, call(L"SetReturnValue", DISPATCH_METHOD, {text(L"<string>x</string>")}));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, call(L"NoSuchMember", DISPATCH_METHOD));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, call(L"CallFunction", DISPATCH_METHOD));

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, control()->QueryInterface(IID_ISupportErrorInfo, support.putVoid()));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(iidShockwaveFlash));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IOleObject));
    support.reset();
    releaseControl();

    EXPECT_EQ(
        plus(connected(), {"get FlashVersion", "get FlashVersion", "call DisableLocalSecurity",
                           "put Menu false", "put Menu true", "put Movie " + utf8(moviePath), "stop",
                           "call CallFunction <invoke name=\"a\"/>", "reply <string>x</string>", "release"}),
        logLines());
}

TEST_F(StandInControl, FlashCallsGetARepliesOrNoReply) {
    ASSERT_EQ(S_OK, create());
    connect();
    sink.onFlashCall = [this](const std::wstring& request) {
        if (request.find(L"answered") != std::wstring::npos) {
            call(L"SetReturnValue", DISPATCH_METHOD, {text(L"<string>yes</string>")});
        }
    };
    runScript(
        "# a comment\n\nflashcall <invoke name=\"answered\"/>\r\n   \nflashcall <invoke name=\"ignored\"/>\n"
        "jump somewhere\nwait 300\nflashcall <invoke name=\"late\"/>\nstop\nflashcall <invoke "
        "name=\"never\"/>\n");
    EXPECT_EQ(
        plus(connected(),
             {"put Movie " + utf8(moviePath), "event FlashCall <invoke name=\"answered\"/>",
              "  reply <string>yes</string>", "event FlashCall <invoke name=\"ignored\"/>", "no reply",
              "bad step jump somewhere", "event FlashCall <invoke name=\"late\"/>", "no reply", "stop"}),
        logLines());
    ASSERT_EQ(3u, sink.events.size());
    for (const RecordingSink::Event& event : sink.events) {
        EXPECT_EQ(flashCallEvent, event.id);
        EXPECT_EQ(1u, event.arguments.size());
    }
    EXPECT_EQ(L"<invoke name=\"ignored\"/>", sink.events[1].arguments[0]);
    EXPECT_GE(sink.events[2].time - sink.events[1].time, 300u) << "wait did not pause the script";
}

TEST_F(StandInControl, FsCommandSplitsCommandFromArgs) {
    ASSERT_EQ(S_OK, create());
    connect();
    runScript("fscommand setCaption Hello  w\xC3\xB6rld\nfscommand quit\nfscommand fullscreen true\nstop\n");
    EXPECT_EQ(
        plus(connected(), {"put Movie " + utf8(moviePath), "event FSCommand setCaption Hello  w\xC3\xB6rld",
                           "event FSCommand quit", "event FSCommand fullscreen true", "stop"}),
        logLines());
    std::vector<std::vector<std::wstring>> expected = {
        {L"setCaption", L"Hello  w\u00F6rld"}, {L"quit", L""}, {L"fullscreen", L"true"}};
    ASSERT_EQ(expected.size(), sink.events.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(fsCommandEvent, sink.events[i].id);
        EXPECT_EQ(expected[i], sink.events[i].arguments);
    }
}

TEST_F(StandInControl, OnCallRunsNestedInsideCallFunctionOnce) {
    ASSERT_EQ(S_OK, create());
    connect();
    sink.onFlashCall = [this](const std::wstring& request) {
        if (request.find(L"outer") != std::wstring::npos) {
            call(L"CallFunction", DISPATCH_METHOD, {text(L"<invoke name=\"windowClose\"/>")});
            call(L"CallFunction", DISPATCH_METHOD, {text(L"<invoke name=\"windowClose\"/>")});
        } else {
            call(L"SetReturnValue", DISPATCH_METHOD, {text(L"<string>inner</string>")});
        }
    };
    runScript("oncall <invoke name=\"windowClose\"/> => flashcall <invoke name=\"inner\"/>\n"
              "oncall <invoke name=\"other\"/> => fscommand quit\n"
              "flashcall <invoke name=\"outer\"/>\nstop\n");
    EXPECT_EQ(
        plus(connected(), {"put Movie " + utf8(moviePath), "event FlashCall <invoke name=\"outer\"/>",
                           "  call CallFunction <invoke name=\"windowClose\"/>",
                           "  event FlashCall <invoke name=\"inner\"/>", "    reply <string>inner</string>",
                           "  call CallFunction <invoke name=\"windowClose\"/>", "no reply", "stop"}),
        logLines());
}

void expectErrorInfo(const std::wstring& description) {
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.put()));
    UniqueBstr source;
    UniqueBstr text;
    GUID guid = {};
    info->GetSource(source.put());
    info->GetDescription(text.put());
    info->GetGUID(&guid);
    EXPECT_STREQ(L"StandIn", source.get());
    EXPECT_EQ(description, text.get());
    EXPECT_TRUE(guid == iidShockwaveFlash);
}

TEST_F(StandInControl, TypedCallsFailAsConfigured) {
    struct Case {
        const wchar_t* name;
        WORD flags;
        std::vector<VARIANT> (*arguments)();
        std::string line;
    };
    const Case cases[] = {
        {L"FlashVersion", DISPATCH_PROPERTYGET, [] { return std::vector<VARIANT>{}; }, "get FlashVersion"},
        {L"DisableLocalSecurity", DISPATCH_METHOD, [] { return std::vector<VARIANT>{}; },
         "call DisableLocalSecurity"},
        {L"Movie", DISPATCH_PROPERTYPUT, [] { return std::vector<VARIANT>{text(L"C:\\none.swf")}; },
         "put Movie C:\\none.swf"},
        {L"Menu", DISPATCH_PROPERTYPUT, [] { return std::vector<VARIANT>{boolean(false)}; },
         "put Menu false"},
        {L"CallFunction", DISPATCH_METHOD, [] { return std::vector<VARIANT>{text(L"<invoke/>")}; },
         "call CallFunction <invoke/>"},
        {L"SetReturnValue", DISPATCH_METHOD, [] { return std::vector<VARIANT>{text(L"r")}; }, "reply r"},
    };
    SetEnvironmentVariableW(L"STANDIN_FAIL_HRESULT", L"0x80070005");
    for (bool asException : {false, true}) {
        SetEnvironmentVariableW(L"STANDIN_FAIL_MODE", asException ? L"exception" : L"hresult");
        for (const Case& item : cases) {
            SCOPED_TRACE(utf8(item.name) + (asException ? " as exception" : " as HRESULT"));
            SetEnvironmentVariableW(L"STANDIN_FAIL", (std::wstring(L"advise, ") + item.name).c_str());
            ASSERT_EQ(S_OK, create());
            SetErrorInfo(0, nullptr);
            UniqueExceptionInfo exception;
            UniqueVariant result;
            HRESULT outcome = call(item.name, item.flags, item.arguments(), result.get(), exception.get());
            std::wstring description = std::wstring(L"stand-in failure: ") + item.name;
            if (asException) {
                EXPECT_EQ(DISP_E_EXCEPTION, outcome);
                EXPECT_EQ(E_ACCESSDENIED, exception->scode);
                EXPECT_STREQ(L"StandIn", exception->bstrSource);
                EXPECT_EQ(description, exception->bstrDescription ? exception->bstrDescription : L"");
            } else {
                EXPECT_EQ(E_ACCESSDENIED, outcome);
            }
            expectErrorInfo(description);
            EXPECT_EQ(VT_EMPTY, V_VT(result.get()));
            std::vector<std::string> lines = logLines();
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(item.line, lines[lines.size() - 2]);
            EXPECT_EQ("fail " + utf8(item.name) + " 0x80070005", lines.back());
            releaseControl();
            DeleteFileW(logPath.c_str());
        }
    }
}

TEST_F(StandInControl, CreationAndConnectionFailAsConfigured) {
    SetEnvironmentVariableW(L"STANDIN_FAIL", L"create");
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, create());
    EXPECT_EQ(nullptr, control());
    EXPECT_EQ((std::vector<std::string>{created(), "fail create 0x80040111"}), logLines());
    DeleteFileW(logPath.c_str());

    SetEnvironmentVariableW(L"STANDIN_FAIL", L"container");
    ASSERT_EQ(S_OK, create());
    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(E_NOINTERFACE, control()->QueryInterface(IID_IConnectionPointContainer, container.putVoid()));
    EXPECT_EQ(nullptr, container.get());
    releaseControl();
    EXPECT_EQ((std::vector<std::string>{created(), "query IConnectionPointContainer",
                                        "fail container 0x80004002", "release"}),
              logLines());
    DeleteFileW(logPath.c_str());

    SetEnvironmentVariableW(L"STANDIN_FAIL", L"connectionpoint");
    ASSERT_EQ(S_OK, create());
    ASSERT_EQ(S_OK, control()->QueryInterface(IID_IConnectionPointContainer, container.putVoid()));
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(diidFlashEvents, point.put()));
    container.reset();
    releaseControl();
    EXPECT_EQ((std::vector<std::string>{created(), "query IConnectionPointContainer", "find connection point",
                                        "fail connectionpoint 0x80040200", "release"}),
              logLines());
    DeleteFileW(logPath.c_str());

    SetEnvironmentVariableW(L"STANDIN_FAIL", L"advise");
    ASSERT_EQ(S_OK, create());
    ASSERT_EQ(S_OK, control()->QueryInterface(IID_IConnectionPointContainer, container.putVoid()));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(diidFlashEvents, point.put()));
    DWORD cookie = 1;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&sink, &cookie));
    EXPECT_EQ(0u, cookie);
    point.reset();
    container.reset();
    releaseControl();
    EXPECT_EQ(plus(connected(), {"fail advise 0x80040202", "release"}), logLines());
}

TEST_F(StandInControl, MessageBoxWatcherClosesTheBox) {
    ASSERT_EQ(S_OK, create());
    connect();
    int answer = 0;
    sink.onFlashCall = [&answer](const std::wstring&) {
        answer = MessageBoxW(nullptr, L"Line one\nLine \u00FCber two", L"Notice", MB_OK);
    };
    runScript("messagebox\nflashcall <invoke name=\"MessageBox\"/>\nstop\n");
    EXPECT_EQ(IDOK, answer);
    EXPECT_EQ(
        plus(connected(), {"put Movie " + utf8(moviePath), "event FlashCall <invoke name=\"MessageBox\"/>",
                           "  messagebox caption=\"Notice\" text=\"Line one\\nLine \xC3\xBC"
                           "ber two\"",
                           "no reply", "stop"}),
        logLines());
}

TEST_F(StandInControl, MessageBoxWatcherCanLeaveTheBoxStandingFirst) {
    ASSERT_EQ(S_OK, create());
    connect();
    DWORD shown = 0;
    sink.onFlashCall = [&shown](const std::wstring&) {
        const DWORD start = GetTickCount();
        MessageBoxW(nullptr, L"Wait", L"Slow", MB_OK);
        shown = GetTickCount() - start;
    };
    runScript("messagebox 700\nflashcall <invoke name=\"MessageBox\"/>\nstop\n");
    EXPECT_GE(shown, 700u);
    EXPECT_LT(shown, 5000u);
    EXPECT_EQ(
        plus(connected(), {"put Movie " + utf8(moviePath), "event FlashCall <invoke name=\"MessageBox\"/>",
                           "  messagebox caption=\"Slow\" text=\"Wait\"", "no reply", "stop"}),
        logLines());
}

TEST_F(StandInControl, DialogWatcherChoosesOrCancels) {
    ASSERT_EQ(S_OK, create());
    connect();
    writeUtf8File(folder + L"\\song.mp3", "ID3");
    writeUtf8File(folder + L"\\c d.mp3", "ID3");
    std::vector<std::vector<std::wstring>> picks;
    sink.onFlashCall = [this, &picks](const std::wstring&) {
        wchar_t names[2048] = {};
        OPENFILENAMEW dialog = {};
        dialog.lStructSize = sizeof dialog;
        dialog.lpstrFilter = L"MP3 files (*.mp3)\0*.mp3\0";
        dialog.lpstrFile = names;
        dialog.nMaxFile = ARRAYSIZE(names);
        dialog.lpstrInitialDir = folder.c_str();
        dialog.lpstrTitle = L"Pick music";
        dialog.Flags =
            OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
        std::vector<std::wstring> chosen;
        if (GetOpenFileNameW(&dialog)) {
            for (const wchar_t* name = names; *name; name += lstrlenW(name) + 1) {
                chosen.push_back(name);
            }
        } else {
            chosen.push_back(L"cancelled " + std::to_wstring(CommDlgExtendedError()));
        }
        picks.push_back(chosen);
    };
    std::string where = utf8(folder);
    runScript("dialog choose " + where +
              "\\song.mp3\nflashcall <invoke name=\"pick\"/>\n"
              "dialog cancel\nflashcall <invoke name=\"pick\"/>\n"
              "dialog choose " +
              where + " \"song.mp3\" \"c d.mp3\"\nflashcall <invoke name=\"pick\"/>\nstop\n");
    std::vector<std::vector<std::wstring>> expectedPicks = {
        {folder + L"\\song.mp3"}, {L"cancelled 0"}, {folder, L"song.mp3", L"c d.mp3"}};
    EXPECT_EQ(expectedPicks, picks);
    const std::string event = "event FlashCall <invoke name=\"pick\"/>";
    const std::string opened = "  dialog caption=\"Pick music\" types=\"MP3 files (*.mp3)\" owner=\"\"";
    EXPECT_EQ(plus(connected(),
                   {"put Movie " + utf8(moviePath), event, opened, "  dialog chose " + where + "\\song.mp3",
                    "no reply", event, opened, "  dialog cancelled", "no reply", event, opened,
                    "  dialog chose " + where + " \"song.mp3\" \"c d.mp3\"",
                    "  dialog lists c d.mp3|song.mp3", "no reply", "stop"}),
              logLines());
}

std::vector<std::pair<UINT, std::pair<WPARAM, LPARAM>>> received;

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_NULL || message == WM_KEYDOWN || message == WM_SYSCOMMAND) {
            received.push_back({message, {wParam, lParam}});
            return 0;
        }
    } catch (...) {
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::string modeText(DWORD which) {
    DEVMODEW mode = {};
    mode.dmSize = sizeof mode;
    EnumDisplaySettingsW(nullptr, which, &mode);
    return std::to_string(mode.dmPelsWidth) + "x" + std::to_string(mode.dmPelsHeight) + "x" +
           std::to_string(mode.dmBitsPerPel);
}

// What "probe window" logs for the window as it is now.
std::string probeLine(HWND window) {
    wchar_t caption[256] = {};
    GetWindowTextW(window, caption, ARRAYSIZE(caption));
    RECT rect;
    GetWindowRect(window, &rect);
    DWORD exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
    return "probe window caption=\"" + utf8(caption) +
           "\" style=" + hex32(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE))) +
           " exstyle=" + hex32(exStyle) + " rect=" + std::to_string(rect.left) + "," +
           std::to_string(rect.top) + "," + std::to_string(rect.right) + "," + std::to_string(rect.bottom) +
           " topmost=" + ((exStyle & WS_EX_TOPMOST) ? "1" : "0") +
           " visible=" + (IsWindowVisible(window) ? "1" : "0") + " iconic=" + (IsIconic(window) ? "1" : "0");
}

HWND makeHostWindow(const wchar_t* className, const wchar_t* caption, WNDPROC procedure) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    UnregisterClassW(className, windowClass.hInstance);
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, className, caption, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 20, 400, 300,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    pumpFor(50);
    return window;
}

TEST_F(StandInControl, WallpaperProbeShowsTheSystemsWallpaper) {
    wchar_t before[MAX_PATH] = {};
    SystemParametersInfoW(SPI_GETDESKWALLPAPER, MAX_PATH, before, 0);
    std::wstring path = folder + L"\\probe wallpaper.bmp";
    writeUtf8File(path, "BM");
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, path.data(), SPIF_SENDWININICHANGE));
    ASSERT_EQ(S_OK, create());
    connect();
    runScript("probe wallpaper\nstop\n");
    SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, before, SPIF_SENDWININICHANGE);
    EXPECT_EQ(plus(connected(), {"put Movie " + utf8(moviePath), "probe wallpaper " + utf8(path), "stop"}),
              logLines());
}

TEST_F(StandInControl, ProbesAndMessagesReachTheHostWindow) {
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\StandInControl", 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, key.put(), nullptr));
    const wchar_t textValue[] = L"hello there";
    DWORD count = 42;
    RegSetValueExW(key.get(), L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(textValue), sizeof textValue);
    RegSetValueExW(key.get(), L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count);
    key.reset();
    received.clear();
    HWND window = makeHostWindow(L"AtlWin", L"Probe target", recordingProc);
    ASSERT_NE(nullptr, window);
    ASSERT_EQ(S_OK, create());
    connect();
    runScript("probe window\nprobe mode\nprobe registry HKCU\\Software\\StandInControl\\Text\n"
              "probe registry HKCU\\Software\\StandInControl\\Count\nprobe registry "
              "HKCU\\Software\\StandInControl\\Absent\n"
              "post WM_NULL 0x10 20\nsend WM_KEYDOWN VK_APPS 0\nsend WM_SYSCOMMAND SC_SCREENSAVE 0\nstop\n");
    std::string probe = probeLine(window);
    EXPECT_EQ(plus(connected(),
                   {"put Movie " + utf8(moviePath), probe,
                    "probe mode current=" + modeText(ENUM_CURRENT_SETTINGS) +
                        " registry=" + modeText(ENUM_REGISTRY_SETTINGS),
                    "probe registry HKCU\\Software\\StandInControl\\Text = hello there",
                    "probe registry HKCU\\Software\\StandInControl\\Count = 42",
                    "probe registry HKCU\\Software\\StandInControl\\Absent = missing", "post WM_NULL 0x10 20",
                    "send WM_KEYDOWN VK_APPS 0", "send WM_SYSCOMMAND SC_SCREENSAVE 0", "stop"}),
              logLines());
    decltype(received) expected = {
        {WM_NULL, {0x10, 20}}, {WM_KEYDOWN, {VK_APPS, 0}}, {WM_SYSCOMMAND, {SC_SCREENSAVE, 0}}};
    EXPECT_EQ(expected, received);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\StandInControl");

    DestroyWindow(window);
    DeleteFileW(logPath.c_str());
    runScript("post WM_CLOSE 0 0\nprobe window\npost WM_QUIT 7 0\nstop\n");
    EXPECT_EQ((std::vector<std::string>{"put Movie " + utf8(moviePath), "post WM_CLOSE 0 0", "no window",
                                        "no window", "post WM_QUIT 7 0", "stop"}),
              logLines());
    EXPECT_EQ(std::vector<WPARAM>{7}, quitCodes) << "WM_QUIT goes to the thread, window or not";
}

bool accessViolation(int exitCode) {
    return static_cast<DWORD>(exitCode) == static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION);
}

TEST_F(StandInControl, CrashStepRaisesAnAccessViolation) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(S_OK, create());
    connect();
    EXPECT_EXIT(runScript("crash\nstop\n"), accessViolation, "");
    EXPECT_EXIT(
        {
            runScript("oncall <invoke name=\"boom\"/> => crash\nstop\n");
            call(L"CallFunction", DISPATCH_METHOD, {text(L"<invoke name=\"boom\"/>")});
        },
        accessViolation, "");
    // Nothing crashed here: the armed step fires only for its request.
    runScript("oncall <invoke name=\"boom\"/> => crash\nstop\n");
    EXPECT_EQ(S_OK, call(L"CallFunction", DISPATCH_METHOD, {text(L"<invoke name=\"quiet\"/>")}));
}

using AtlAxWinInitFunction = BOOL(WINAPI*)();
using AtlAxAttachControlFunction = HRESULT(WINAPI*)(IUnknown*, HWND, IUnknown**);

RECT childRect(HWND child, HWND parent) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool sameRect(const RECT& a, const RECT& b) {
    return EqualRect(&a, &b) != FALSE;
}

TEST_F(StandInControl, AtlHostsThePlayerOverTheClientArea) {
    const UniqueModule atl(LoadLibraryW(L"atl.dll"));
    ASSERT_TRUE(atl);
    // Through a plain function type: FARPROC has no parameters.
    auto atlAxWinInit = reinterpret_cast<AtlAxWinInitFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(atl.get(), "AtlAxWinInit")));
    auto atlAxAttachControl = reinterpret_cast<AtlAxAttachControlFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(atl.get(), "AtlAxAttachControl")));
    ASSERT_TRUE(atlAxWinInit && atlAxAttachControl);
    ASSERT_TRUE(atlAxWinInit());
    HWND window = makeHostWindow(L"HostedByAtl", L"Hosted player", DefWindowProcW);
    ASSERT_EQ(S_OK, create());
    ComPtr<IUnknown> container;
    ASSERT_EQ(S_OK, atlAxAttachControl(control(), window, container.put()));
    ASSERT_TRUE(container);
    container.reset();

    ComPtr<IOleWindow> oleWindow;
    ASSERT_EQ(S_OK, control()->QueryInterface(IID_IOleWindow, oleWindow.putVoid()));
    HWND player = nullptr;
    ASSERT_EQ(S_OK, oleWindow->GetWindow(&player));
    ASSERT_TRUE(IsWindow(player));
    EXPECT_EQ(window, GetParent(player));
    EXPECT_TRUE(IsWindowVisible(player));
    RECT client;
    GetClientRect(window, &client);
    EXPECT_TRUE(sameRect(client, childRect(player, window))) << "the player does not cover the client area";

    // Not of the class "AtlWin": the probe can only find the window through the in-place site.
    runScript("probe window\nstop\n");
    std::string probe = probeLine(window);

    SetWindowPos(window, nullptr, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER);
    pumpFor(50);
    GetClientRect(window, &client);
    EXPECT_TRUE(sameRect(client, childRect(player, window))) << "the player did not follow the resize";

    UpdateWindow(player);
    HDC dc = GetDC(player);
    EXPECT_EQ(RGB(0, 0, 128), GetPixel(dc, client.right - 4, client.bottom - 4)) << "not the dark-blue fill";
    ReleaseDC(player, dc);

    DestroyWindow(window);
    pumpFor(20);
    EXPECT_FALSE(IsWindow(player));
    EXPECT_EQ(E_FAIL, oleWindow->GetWindow(&player));
    oleWindow.reset();
    releaseControl();
    EXPECT_EQ((std::vector<std::string>{created(), "put Movie " + utf8(moviePath), probe, "stop", "close",
                                        "release"}),
              logLines())
        << "a reference was left behind, or atl asked for something logged";
}

} // namespace
