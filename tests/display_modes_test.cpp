// The display queries on the bench's 1280 x 1024 virtual desktop, which offers
// real dynamic mode changes.
#include "display/display_modes.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace {

using Mode = std::tuple<DWORD, DWORD, DWORD>;

std::set<Mode> offeredModes() {
    std::set<Mode> modes;
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    for (DWORD index = 0; EnumDisplaySettingsW(nullptr, index, &mode); ++index) {
        modes.emplace(mode.dmPelsWidth, mode.dmPelsHeight, mode.dmBitsPerPel);
    }
    return modes;
}

bool changeMode(DWORD width, DWORD height) {
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    mode.dmPelsWidth = width;
    mode.dmPelsHeight = height;
    mode.dmBitsPerPel = 32;
    mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL;
    return ChangeDisplaySettingsW(&mode, 0) == DISP_CHANGE_SUCCESSFUL;
}

TEST(SupportedModes, AcceptsExactlyTheOfferedModes) {
    const std::set<Mode> modes = offeredModes();
    ASSERT_FALSE(modes.empty());
    for (const auto& [width, height, bits] : modes) {
        EXPECT_TRUE(isModeSupported(width, height, bits)) << width << "x" << height << "x" << bits;
    }
    EXPECT_TRUE(isModeSupported(800, 600, 32));
    EXPECT_TRUE(isModeSupported(1024, 768, 32));
    EXPECT_FALSE(isModeSupported(1024, 768, 24));
    EXPECT_FALSE(isModeSupported(1281, 1024, 32));
    EXPECT_FALSE(isModeSupported(1024, 769, 32));
    EXPECT_FALSE(isModeSupported(0, 0, 32));
    EXPECT_FALSE(isModeSupported(-800, -600, 32));
}

TEST(SupportedModes, ColourDepthMustMatch) {
    const std::set<Mode> modes = offeredModes();
    int sizesOnlyAt16 = 0;
    for (const auto& [width, height, bits] : modes) {
        if (bits == 16 && !modes.count({width, height, 32})) {
            ++sizesOnlyAt16;
            EXPECT_FALSE(isModeSupported(width, height, 32)) << width << "x" << height;
        }
    }
    if (sizesOnlyAt16 == 0) {
        // Known Wine difference: its virtual desktop offers every size at 32,
        // 16 and 8 bits, so no size exists only at 16 bits.
        GTEST_SKIP() << "no size is offered only at 16 bits per pixel here";
    }
}

TEST(DesktopResolution, ReportsTheStoredDesktopModeEvenDuringAGame) {
    EXPECT_EQ(1280u, getDesktopResolution().width);
    EXPECT_EQ(1024u, getDesktopResolution().height);
    EXPECT_FLOAT_EQ(1.25f, getDesktopAspectRatio());

    ASSERT_TRUE(changeMode(800, 600));
    EXPECT_EQ(800, GetSystemMetrics(SM_CXSCREEN));
    const DesktopSize during = getDesktopResolution();
    const float ratioDuring = getDesktopAspectRatio();
    ChangeDisplaySettingsW(nullptr, 0);

    EXPECT_EQ(1280u, during.width);
    EXPECT_EQ(1024u, during.height);
    EXPECT_FLOAT_EQ(1.25f, ratioDuring);
    EXPECT_EQ(1280, GetSystemMetrics(SM_CXSCREEN));
}

} // namespace
