#pragma once
// The wave-out volume of the first device, as a level from 0 to 100.

#include <cstdint>

// Left channel (0 to 0xFFFF) to level, rounded to the nearest, halves up.
uint32_t volumeToPercent(uint16_t leftChannel);
// Level to the device volume, the same in both channels. The level is held
// to 0..100 first: unclamped, 101 would give almost silence and -1 almost
// full volume.
uint32_t percentToVolume(int32_t level);

// 0 when the device cannot be queried.
uint32_t currentVolumeLevel();
// A device that cannot be set is left as it is.
void setVolumeLevel(int32_t level);
