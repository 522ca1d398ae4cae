// The conversions between the device's channel values and the movie's level.
#include "desktop/volume.h"

#include <gtest/gtest.h>

namespace {

TEST(VolumeConversion, LeftChannelReadsAsRoundedPercent) {
    EXPECT_EQ(100u, volumeToPercent(0xFFFF));
    EXPECT_EQ(50u, volumeToPercent(32767));
    EXPECT_EQ(50u, volumeToPercent(32768));
    EXPECT_EQ(0u, volumeToPercent(327));
    EXPECT_EQ(1u, volumeToPercent(328));
    EXPECT_EQ(0u, volumeToPercent(0));
}

TEST(VolumeConversion, LevelSetsBothChannelsInStepsOf655) {
    EXPECT_EQ(0u, percentToVolume(0));
    EXPECT_EQ(0x028F028Fu, percentToVolume(1));
    EXPECT_EQ(50u * 655u * 0x10001u, percentToVolume(50));
    EXPECT_EQ(0xFFDCFFDCu, percentToVolume(100));
}

TEST(VolumeConversion, EveryLevelRoundTrips) {
    for (int32_t level = 0; level <= 100; ++level) {
        const uint32_t volume = percentToVolume(level);
        EXPECT_EQ(volume & 0xFFFF, volume >> 16) << level;
        EXPECT_EQ(static_cast<uint32_t>(level), volumeToPercent(static_cast<uint16_t>(volume & 0xFFFF)))
            << level;
    }
}

// Regression: unclamped, 101 wrapped to almost silence and -1 to almost full.
TEST(VolumeConversion, LevelsOutsideTheRangeAreHeldToIt) {
    EXPECT_EQ(percentToVolume(100), percentToVolume(101));
    EXPECT_EQ(percentToVolume(100), percentToVolume(250));
    EXPECT_EQ(percentToVolume(100), percentToVolume(INT32_MAX));
    EXPECT_EQ(0u, percentToVolume(-1));
    EXPECT_EQ(0u, percentToVolume(INT32_MIN));
}

} // namespace
