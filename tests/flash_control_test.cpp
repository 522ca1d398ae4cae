// The control's calls by name, against the stand-in control: what reaches the
// control, and how a failing call comes back as _com_error.
#include "bridge/codec.h"
#include "bridge/flash_control.h"
#include "tests/com_test.h"
#include "tests/standin_session.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <functional>

namespace {

using Lines = std::vector<std::string>;

using FlashControlCalls = ComTest;

TEST_F(FlashControlCalls, ReachTheControlByName) {
    StandInSession session(Environment{{L"STANDIN_VERSION", L"0x000A0000"}});
    ASSERT_HRESULT_SUCCEEDED(session.create());
    EXPECT_EQ(0x000A0000u, flashVersion(session.control()));
    disableLocalSecurity(session.control());
    putMenu(session.control(), false);
    putMenu(session.control(), true);
    returnToMovie(session.control(), L"<string>a\x00e9\x4e2d</string>");
    const Lines expected = {
        created(),        "get FlashVersion", "call DisableLocalSecurity",
        "put Menu false", "put Menu true",    "reply <string>a\xc3\xa9\xe4\xb8\xad</string>",
    };
    EXPECT_EQ(expected, session.log());
}

TEST_F(FlashControlCalls, ReportTheVersionAsGiven) {
    for (const wchar_t* version : {L"0x00090000", L"0x000A0000", L"0x00200000"}) {
        StandInSession session(Environment{{L"STANDIN_VERSION", version}});
        ASSERT_HRESULT_SUCCEEDED(session.create());
        EXPECT_EQ(std::wcstoul(version, nullptr, 16), flashVersion(session.control())) << utf8(version);
    }
}

TEST_F(FlashControlCalls, SendTextUpToItsFirstNul) {
    StandInSession session;
    ASSERT_HRESULT_SUCCEEDED(session.create());
    returnToMovie(session.control(), std::wstring(L"<true/>\0tail", 12));
    EXPECT_EQ("reply <true/>", session.log().back());
}

struct TypedCall {
    const wchar_t* name;
    std::function<void(IShockwaveFlash*)> call;
};

const TypedCall typedCalls[] = {
    {L"FlashVersion", [](IShockwaveFlash* control) { flashVersion(control); }},
    {L"DisableLocalSecurity", [](IShockwaveFlash* control) { disableLocalSecurity(control); }},
    {L"Movie", [](IShockwaveFlash* control) { putMovie(control, L"C:\\nowhere\\game.swf"); }},
    {L"Menu", [](IShockwaveFlash* control) { putMenu(control, false); }},
    {L"SetReturnValue", [](IShockwaveFlash* control) { returnToMovie(control, L"<true/>"); }},
};

class FailingTypedCall : public FlashControlCalls, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(FailingTypedCall, ThrowsComErrorWithTheControlsErrorObject) {
    for (const TypedCall& typed : typedCalls) {
        SCOPED_TRACE(utf8(typed.name));
        StandInSession session({{L"STANDIN_FAIL", typed.name},
                                {L"STANDIN_FAIL_HRESULT", L"0x80040201"},
                                {L"STANDIN_FAIL_MODE", GetParam()}});
        ASSERT_HRESULT_SUCCEEDED(session.create());
        try {
            typed.call(session.control());
            ADD_FAILURE() << "no exception";
        } catch (const _com_error& error) {
            EXPECT_EQ(static_cast<HRESULT>(0x80040201), error.Error());
            // ErrorInfo() hands out a reference of its own.
            const ComPtr<IErrorInfo> info = ComPtr<IErrorInfo>::attach(error.ErrorInfo());
            ASSERT_TRUE(info);
            UniqueBstr description;
            ASSERT_HRESULT_SUCCEEDED(info->GetDescription(description.put()));
            EXPECT_EQ(std::wstring(L"stand-in failure: ") + typed.name, description.get());
            GUID guid = {};
            ASSERT_HRESULT_SUCCEEDED(info->GetGUID(&guid));
            EXPECT_TRUE(IsEqualGUID(IID_IShockwaveFlash, guid));
        }
        EXPECT_EQ("fail " + utf8(typed.name) + " 0x80040201", session.log().back());
    }
}

INSTANTIATE_TEST_SUITE_P(BothFailureForms, FailingTypedCall, ::testing::Values(L"hresult", L"exception"),
                         [](const auto& info) { return utf8(info.param); });

TEST_F(FlashControlCalls, CallMovieSendsTheRequestAndIgnoresFailure) {
    for (const wchar_t* failure : {L"", L"CallFunction"}) {
        StandInSession session(Environment{{L"STANDIN_FAIL", failure}});
        ASSERT_HRESULT_SUCCEEDED(session.create());
        flashControl = session.takeControl();
        callMovie(gameMinimizedRequest);
        callMovie(rightClickRequest);
        Lines expected = {created(), "call CallFunction " + utf8(gameMinimizedRequest)};
        if (*failure) {
            expected.push_back("fail CallFunction 0x80004005");
        }
        expected.push_back("call CallFunction " + utf8(rightClickRequest));
        if (*failure) {
            expected.push_back("fail CallFunction 0x80004005");
        }
        EXPECT_EQ(expected, session.log());
        flashControl.reset();
    }
}

TEST_F(FlashControlCalls, CallMovieAfterTheControlIsGoneReachesNothing) {
    StandInSession session;
    ASSERT_HRESULT_SUCCEEDED(session.create());
    flashControl.reset();
    callMovie(windowCloseRequest);
    EXPECT_EQ(Lines{created()}, session.log());
}

} // namespace
