// The test bench's desktop as the bench made it: one size (BENCH_DESKTOP) at
// 32 bits per pixel, as the current and as the registry display mode.
#pragma once

#include <string>

// Empty when the desktop is as the bench made it; otherwise what was found,
// as "current=WxHxB registry=WxHxB" ("none" for a mode that cannot be read).
std::string benchDesktopFault();

// The bench's mode, "WxHx32".
std::string benchDesktopMode();
