#pragma once
// Read-only questions about the display, asked anew each time.

#include <cstdint>

// Whether the current display offers exactly this mode.
bool isModeSupported(int32_t width, int32_t height, int32_t bitsPerPixel);

struct DesktopSize {
    uint32_t width = 0;
    uint32_t height = 0;
};
// The desktop's own mode, as stored for the first display device; a
// fullscreen game's mode never shows here. 0 x 0 when it cannot be read.
DesktopSize getDesktopResolution();
// Width over height of that mode; 0 when it cannot be read.
float getDesktopAspectRatio();
