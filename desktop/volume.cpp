#include "desktop/volume.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>

namespace {

// Device 0 is passed as a null handle.
const HWAVEOUT firstDevice = nullptr;

// 655 rather than 65535 / 100: level 100 is 65500, which still reads as 100.
constexpr uint32_t channelStep = 655;

} // namespace

uint32_t volumeToPercent(uint16_t leftChannel) {
    return static_cast<uint32_t>(leftChannel * 100.0 / 65535.0 + 0.5);
}

uint32_t percentToVolume(int32_t level) {
    const uint32_t channel = static_cast<uint32_t>(std::clamp<int32_t>(level, 0, 100)) * channelStep;
    return channel * 0x10001u;
}

uint32_t currentVolumeLevel() {
    DWORD volume = 0;
    waveOutGetVolume(firstDevice, &volume);
    return volumeToPercent(LOWORD(volume));
}

void setVolumeLevel(int32_t level) {
    waveOutSetVolume(firstDevice, percentToVolume(level));
}
