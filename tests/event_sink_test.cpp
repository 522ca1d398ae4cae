// The event sink and the command tables, driven through the real COM path:
// the stand-in control is created by its CLSID, the sink is advised on its
// connection point, and the stand-in raises the movie's events from its timer.
#include "bridge/event_sink.h"
#include "tests/com_test.h"
#include "tests/standin_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Plays `script` against a connected sink and returns what the stand-in logged
// after the movie was loaded.
Lines play(const std::string& script, const Environment& environment = {}) {
    FlashEventListener sink;
    StandInSession session(environment);
    EXPECT_HRESULT_SUCCEEDED(session.create());
    EXPECT_HRESULT_SUCCEEDED(session.connect(&sink));
    sink.setControl(session.control());
    EXPECT_TRUE(session.play(script + "stop\n")) << "the script did not finish";
    return session.scriptLog();
}

std::string event(const std::string& request) {
    return "event FlashCall " + request;
}

using FlashEventListenerRules = ComTest;

TEST_F(FlashEventListenerRules, AnswersOnlyTheEventInterface) {
    FlashEventListener sink;
    void* object = &sink;
    EXPECT_EQ(E_NOINTERFACE, sink.QueryInterface(IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    object = &sink;
    EXPECT_EQ(E_NOINTERFACE, sink.QueryInterface(IID_IDispatch, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, sink.references());

    EXPECT_EQ(S_OK, sink.QueryInterface(DIID_IShockwaveFlashEvents, &object));
    EXPECT_EQ(static_cast<IDispatch*>(&sink), object);
    EXPECT_EQ(1, sink.references());
}

TEST_F(FlashEventListenerRules, CountsButNeverDestroysItself) {
    FlashEventListener sink;
    EXPECT_EQ(1u, sink.AddRef());
    EXPECT_EQ(2u, sink.AddRef());
    EXPECT_EQ(1u, sink.Release());
    EXPECT_EQ(0u, sink.Release());
    EXPECT_EQ(static_cast<ULONG>(-1), sink.Release());
    // Still whole and usable after the count went below zero.
    void* object = nullptr;
    EXPECT_EQ(S_OK, sink.QueryInterface(DIID_IShockwaveFlashEvents, &object));
    EXPECT_EQ(0, sink.references());
}

// Events handed to Invoke directly, with the stand-in as the control that
// would receive a reply.
class DirectInvoke : public ComTest {
  protected:
    void SetUp() override {
        ComTest::SetUp();
        session_ = std::make_unique<StandInSession>(environment());
        ASSERT_HRESULT_SUCCEEDED(session_->create());
        sink_.setControl(session_->control());
    }
    void TearDown() override { session_.reset(); }
    virtual Environment environment() const { return {}; }

    HRESULT invoke(DISPID id, DISPPARAMS* parameters) {
        VARIANT result;
        result.vt = VT_I4;
        result.lVal = 55;
        EXCEPINFO exception = {};
        exception.scode = 66;
        UINT argumentError = 77;
        const HRESULT outcome = sink_.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, parameters,
                                             &result, &exception, &argumentError);
        // Invoke never writes its out-parameters.
        EXPECT_EQ(VT_I4, result.vt);
        EXPECT_EQ(55, result.lVal);
        EXPECT_EQ(66, exception.scode);
        EXPECT_EQ(77u, argumentError);
        return outcome;
    }

    Lines replies() const {
        Lines lines;
        for (const std::string& line : session_->log()) {
            if (line.find("reply") != std::string::npos || line.find("fail") != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    FlashEventListener sink_;
    std::unique_ptr<StandInSession> session_;
};

// A request that answers when read, as the one string argument of an event.
struct AspectRatioRequest {
    VARIANT argument;
    UniqueBstr text;
    AspectRatioRequest() {
        const std::string request = flashCallRequest("getAspectRatio");
        text.reset(SysAllocString(std::wstring(request.begin(), request.end()).c_str()));
        argument.vt = VT_BSTR;
        argument.bstrVal = text.get();
    }
};

TEST_F(DirectInvoke, IgnoresWhatItCannotRead) {
    EXPECT_EQ(S_OK, invoke(dispidFlashCall, nullptr));
    EXPECT_EQ(S_OK, invoke(dispidFSCommand, nullptr));

    DISPPARAMS none = {};
    EXPECT_EQ(S_OK, invoke(dispidFlashCall, &none));
    EXPECT_EQ(S_OK, invoke(dispidFSCommand, &none));

    // A request in a non-string variant, and a null string: both read as empty.
    VARIANT notText[2];
    notText[0].vt = VT_I4;
    notText[0].lVal = 0x41414141;
    notText[1].vt = VT_I4;
    notText[1].lVal = 0x41414141;
    DISPPARAMS numbers = {notText, nullptr, 2, 0};
    EXPECT_EQ(S_OK, invoke(dispidFlashCall, &numbers));
    EXPECT_EQ(S_OK, invoke(dispidFSCommand, &numbers));
    VARIANT nullText;
    nullText.vt = VT_BSTR;
    nullText.bstrVal = nullptr;
    DISPPARAMS nullRequest = {&nullText, nullptr, 1, 0};
    EXPECT_EQ(S_OK, invoke(dispidFlashCall, &nullRequest));

    EXPECT_EQ(Lines{}, replies());
}

TEST_F(DirectInvoke, ReadsOnlyTheArgumentsItIsGiven) {
    // A valid request lies just past cArgs: reading it would answer.
    AspectRatioRequest request;
    VARIANT arguments[2] = {request.argument, request.argument};
    DISPPARAMS fsCommandWithOne = {arguments, nullptr, 1, 0};
    EXPECT_EQ(S_OK, invoke(dispidFSCommand, &fsCommandWithOne));
    DISPPARAMS flashCallWithNone = {arguments, nullptr, 0, 0};
    EXPECT_EQ(S_OK, invoke(dispidFlashCall, &flashCallWithNone));
    EXPECT_EQ(Lines{}, replies());

    DISPPARAMS flashCall = {arguments, nullptr, 1, 0};
    EXPECT_EQ(S_OK, invoke(dispidFlashCall, &flashCall));
    EXPECT_EQ(Lines{"reply <number>1.25</number>"}, replies());
}

TEST_F(DirectInvoke, OtherEventsDoNothing) {
    AspectRatioRequest request;
    DISPPARAMS parameters = {&request.argument, nullptr, 1, 0};
    for (DISPID id : {DISPID(-609), DISPID(0x7A6), DISPID(0), DISPID(0xC4), DISPID(0xC6)}) {
        EXPECT_EQ(S_OK, invoke(id, &parameters));
    }
    EXPECT_EQ(Lines{}, replies());
}

class FailingReply : public DirectInvoke, public ::testing::WithParamInterface<const wchar_t*> {
  protected:
    Environment environment() const override {
        return {{L"STANDIN_FAIL", L"SetReturnValue"}, {L"STANDIN_FAIL_MODE", GetParam()}};
    }
};

TEST_P(FailingReply, DoesNotEscapeInvokeButLeavesATrace) {
    AspectRatioRequest request;
    DISPPARAMS parameters = {&request.argument, nullptr, 1, 0};
    const DebugOutputCapture output;
    EXPECT_EQ(S_OK, invoke(dispidFlashCall, &parameters));
    EXPECT_EQ((Lines{"reply <number>1.25</number>", "fail SetReturnValue 0x80004005"}), replies());
    EXPECT_EQ(Lines{"gamehost: Invoke caught a COM error 0x80004005\n"}, output.lines());
}

INSTANTIATE_TEST_SUITE_P(BothFailureForms, FailingReply, ::testing::Values(L"hresult", L"exception"),
                         [](const auto& info) { return utf8(info.param); });

using CommandDispatch = ComTest;

TEST_F(CommandDispatch, DisplayQueriesAnswerExactly) {
    const std::string size = "<object><property id=\"width\"><number>1280</number></property>"
                             "<property id=\"height\"><number>1024</number></property></object>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {flashCallRequest("getScreenResolution"), size},
        {flashCallRequest("getAspectRatio"), "<number>1.25</number>"},
        {flashCallRequest("resolutionSupported", "<number>800</number><number>600</number>"), "<true/>"},
        {flashCallRequest("resolutionSupported", "<string>1024</string><string>768</string>"), "<true/>"},
        {flashCallRequest("resolutionSupported", "<number>1024.7</number><string> 768</string>"), "<true/>"},
        {flashCallRequest("resolutionSupported",
                          "<number>800</number><number>600</number><number>1</number>"),
         "<true/>"},
        {flashCallRequest("resolutionSupported", "<number>1281</number><number>1024</number>"), "<false/>"},
        {flashCallRequest("resolutionSupported", "<number>800</number>"), "<false/>"},
        {flashCallRequest("resolutionSupported"), "<false/>"},
        {flashCallRequest("resolutionSupported", "<string>wide</string><string>tall</string>"), "<false/>"},
    };
    std::string script;
    Lines expected;
    for (const auto& [request, reply] : cases) {
        script += "flashcall " + request + "\n";
        expected.push_back(event(request));
        expected.push_back("  reply " + reply);
    }
    expected.push_back("stop");
    EXPECT_EQ(expected, play(script));
}

TEST_F(CommandDispatch, NamesOutsideTheTablesSetNoReply) {
    const std::string wrongCase = flashCallRequest("getscreenresolution");
    const std::string otherTable = flashCallRequest("quit");
    const std::string unknown = flashCallRequest("noSuchCommand");
    const std::string noName = "<invoke><arguments></arguments></invoke>";
    const std::string answered = flashCallRequest("getAspectRatio");
    const Lines expected = {
        event(wrongCase),
        "no reply",
        event(otherTable),
        "no reply",
        event(unknown),
        "no reply",
        event(noName),
        "no reply",
        "event FSCommand getScreenResolution",
        "event FSCommand getArg x",
        event(answered),
        "  reply <number>1.25</number>",
        "stop",
    };
    EXPECT_EQ(expected,
              play("flashcall " + wrongCase + "\nflashcall " + otherTable + "\nflashcall " + unknown +
                   "\nflashcall " + noName +
                   "\nfscommand getScreenResolution\nfscommand getArg x\nflashcall " + answered + "\n"));
}

} // namespace
