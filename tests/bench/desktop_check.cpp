// Every test program that holds the bench's desktop checks it around its
// test (CTest sets BENCH_CHECKS_DESKTOP=1 for those): a test that leaves the
// display mode or the registry mode other than the bench made them fails,
// saying what it found, and the modes are put back, so that one fault fails
// one test and the next test finds a sound desktop. Found broken before the
// test (by a program killed before its own check, which has failed for
// that), they are put back without failing this one.
#include "tests/bench/desktop_check.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

constexpr DWORD benchBitsPerPixel = 32;

std::string modeText(DWORD which) {
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    if (!EnumDisplaySettingsW(nullptr, which, &mode)) {
        return "none";
    }
    return std::to_string(mode.dmPelsWidth) + "x" + std::to_string(mode.dmPelsHeight) + "x" +
           std::to_string(mode.dmBitsPerPel);
}

// Both at once: CDS_UPDATEREGISTRY makes the mode the current and the stored one.
bool putBack() {
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    if (std::sscanf(benchDesktopMode().c_str(), "%lux%lu", &mode.dmPelsWidth, &mode.dmPelsHeight) != 2) {
        return false;
    }
    mode.dmBitsPerPel = benchBitsPerPixel;
    mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL;
    return ChangeDisplaySettingsExW(nullptr, &mode, nullptr, CDS_UPDATEREGISTRY, nullptr) ==
               DISP_CHANGE_SUCCESSFUL &&
           benchDesktopFault().empty();
}

class DesktopCheck : public testing::Environment {
  public:
    void SetUp() override {
        const std::string found = benchDesktopFault();
        if (!found.empty()) {
            std::printf("bench: the desktop was at %s before this test; %s\n", found.c_str(),
                        putBack() ? "put back" : "it could not be put back");
        }
    }

    void TearDown() override {
        const std::string found = benchDesktopFault();
        if (found.empty()) {
            return;
        }
        const bool mended = putBack();
        ADD_FAILURE() << "this test left the bench's desktop at " << found << ", not " << benchDesktopMode()
                      << " for both; " << (mended ? "put back" : "it could not be put back");
    }
};

bool checksDesktop() {
    wchar_t value[4] = {};
    return GetEnvironmentVariableW(L"BENCH_CHECKS_DESKTOP", value, ARRAYSIZE(value)) == 1 && value[0] == L'1';
}

// GoogleTest owns the environments it is given.
const bool registered = checksDesktop() && testing::AddGlobalTestEnvironment(new DesktopCheck) != nullptr;

} // namespace

std::string benchDesktopMode() {
    char size[32] = {};
    const DWORD length = GetEnvironmentVariableA("BENCH_DESKTOP", size, sizeof(size));
    return (length > 0 && length < sizeof(size) ? std::string(size) : std::string("1280x1024")) + "x" +
           std::to_string(benchBitsPerPixel);
}

std::string benchDesktopFault() {
    const std::string current = modeText(ENUM_CURRENT_SETTINGS);
    const std::string registry = modeText(ENUM_REGISTRY_SETTINGS);
    if (current == benchDesktopMode() && registry == benchDesktopMode()) {
        return {};
    }
    return "current=" + current + " registry=" + registry;
}
