#include "display/display_modes.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

namespace {

DEVMODEW clearedMode() {
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    return mode;
}

} // namespace

bool isModeSupported(int32_t width, int32_t height, int32_t bitsPerPixel) {
    DEVMODEW mode = clearedMode();
    for (DWORD index = 0; EnumDisplaySettingsW(nullptr, index, &mode) == TRUE; ++index) {
        if (mode.dmPelsWidth == static_cast<DWORD>(width) &&
            mode.dmPelsHeight == static_cast<DWORD>(height) &&
            mode.dmBitsPerPel == static_cast<DWORD>(bitsPerPixel)) {
            return true;
        }
    }
    return false;
}

DesktopSize getDesktopResolution() {
    DISPLAY_DEVICEW device = {};
    device.cb = sizeof(device);
    if (!EnumDisplayDevicesW(nullptr, 0, &device, 0) ||
        !(device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP)) {
        return {};
    }
    // DeviceName is a fixed field that need not end in a NUL when full; the
    // copy stops at the field's end and the zeroed buffer terminates it.
    wchar_t name[256] = {};
    wcsncpy(name, device.DeviceName, std::size(device.DeviceName));
    // A record that cannot be filled stays cleared, which reads as 0 x 0.
    DEVMODEW mode = clearedMode();
    EnumDisplaySettingsW(name, ENUM_REGISTRY_SETTINGS, &mode);
    return {mode.dmPelsWidth, mode.dmPelsHeight};
}

float getDesktopAspectRatio() {
    const DesktopSize size = getDesktopResolution();
    // 0 x 0 must not become NaN in the reply.
    if (size.height == 0) {
        return 0.0f;
    }
    return static_cast<float>(static_cast<double>(size.width) / static_cast<double>(size.height));
}
