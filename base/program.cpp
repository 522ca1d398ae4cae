#include "base/program.h"

HWND mainWindow = nullptr;
bool isRunning = false;
bool isEnding = false;
bool isFullscreen = false;
bool isSuspended = false;
FullscreenKind fullscreenKind = FullscreenKind::gameMode;

namespace {

constexpr DWORD modulePathLength = 261;

} // namespace

HWND boxOwner() {
    const bool shown = mainWindow && IsWindowVisible(mainWindow) && !IsIconic(mainWindow);
    return shown && !isSuspended ? mainWindow : nullptr;
}

std::wstring programFolder() {
    wchar_t path[modulePathLength] = {};
    GetModuleFileNameW(nullptr, path, modulePathLength);
    std::wstring folder = path;
    const size_t slash = folder.rfind(L'\\');
    if (slash != std::wstring::npos) {
        folder.resize(slash);
    }
    return folder;
}

UniqueActivationContext programManifestContext(WORD resource) {
    wchar_t program[modulePathLength] = {};
    const DWORD length = GetModuleFileNameW(nullptr, program, modulePathLength);
    if (length == 0 || length >= modulePathLength) {
        return UniqueActivationContext();
    }
    ACTCTXW description = {};
    description.cbSize = sizeof(description);
    description.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    description.lpSource = program;
    description.lpResourceName = MAKEINTRESOURCEW(resource);
    return UniqueActivationContext(CreateActCtxW(&description));
}
