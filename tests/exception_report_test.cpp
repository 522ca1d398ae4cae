// The trace an exception barrier leaves in the debugger output.
#include "base/exception_report.h"
#include "tests/standin_session.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

template <typename Exception> std::vector<std::string> reportOf(const Exception& thrown) {
    DebugOutputCapture output;
    try {
        throw thrown;
    } catch (...) {
        reportCaughtException(L"here");
    }
    return output.lines();
}

TEST(ExceptionReport, NamesThePlaceAndWhatWasCaught) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(Lines{"gamehost: here caught a COM error 0x80070005\n"}, reportOf(_com_error(E_ACCESSDENIED)));
    EXPECT_EQ(Lines{"gamehost: here caught an exception: no room\n"}, reportOf(std::length_error("no room")));
    EXPECT_EQ(Lines{"gamehost: here caught an unknown exception\n"}, reportOf(42));
}

} // namespace
