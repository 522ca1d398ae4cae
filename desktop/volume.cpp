#include "desktop/volume.h"

#include "base/system_library.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>

namespace {

// Device 0 is passed as a null handle.
const HWAVEOUT firstDevice = nullptr;

// 655 rather than 65535 / 100: level 100 is 65500, which still reads as 100.
constexpr uint32_t channelStep = 655;

struct WaveOut {
    decltype(&waveOutGetVolume) getVolume;
    decltype(&waveOutSetVolume) setVolume;
};

// From the system folder's winmm.dll, loaded at the first call; the
// functions are null when it is missing.
const WaveOut& waveOut() {
    static const WaveOut functions = [] {
        const HMODULE winmm = loadSystemLibrary(L"winmm.dll");
        return WaveOut{procedure<decltype(&waveOutGetVolume)>(winmm, "waveOutGetVolume"),
                       procedure<decltype(&waveOutSetVolume)>(winmm, "waveOutSetVolume")};
    }();
    return functions;
}

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
    if (waveOut().getVolume) {
        waveOut().getVolume(firstDevice, &volume);
    }
    return volumeToPercent(LOWORD(volume));
}

void setVolumeLevel(int32_t level) {
    if (waveOut().setVolume) {
        waveOut().setVolume(firstDevice, percentToVolume(level));
    }
}
