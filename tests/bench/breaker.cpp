// Breaks the bench's desktop on purpose, as a faulty test could, so that
// tests/bench_check_test.sh can see the bench's check catch it and put the
// desktop back. Not run as tests of their own.
#include "tests/bench/desktop_check.h"

#include "base/handles.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// Both the current and the stored mode, as a faulty test's CDS_UPDATEREGISTRY would.
TEST(BenchBreaker, ChangesTheModeAndTheRegistryMode) {
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    mode.dmPelsWidth = 1024;
    mode.dmPelsHeight = 768;
    mode.dmBitsPerPel = 16;
    mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL;
    ASSERT_EQ(DISP_CHANGE_SUCCESSFUL,
              ChangeDisplaySettingsExW(nullptr, &mode, nullptr, CDS_UPDATEREGISTRY, nullptr));
    EXPECT_EQ("current=1024x768x16 registry=1024x768x16", benchDesktopFault());
}

// Wine's virtual desktop is a window of its explorer process.
TEST(BenchBreaker, EndsTheVirtualDesktop) {
    DWORD processId = 0;
    GetWindowThreadProcessId(GetDesktopWindow(), &processId);
    ASSERT_NE(0u, processId);
    ASSERT_NE(GetCurrentProcessId(), processId);
    const UniqueHandle desktop(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    ASSERT_TRUE(desktop);
    ASSERT_TRUE(TerminateProcess(desktop.get(), 1));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(desktop.get(), 10000));
}

// Run without the check's own repair, it says how the desktop is.
TEST(BenchDesktop, IsAsTheBenchMadeIt) {
    EXPECT_EQ("", benchDesktopFault());
}

} // namespace
