#include "host/window_procedure.h"

#include "bridge/codec.h"
#include "bridge/flash_control.h"
#include "display/fullscreen.h"
#include "host/exception_report.h"
#include "host/startup.h"

bool isSuspended = false;

namespace {

void onClose() {
    callMovie(windowCloseRequest);
    isRunning = false;
}

// Set while a resume runs. Showing the window, or closing the box of a
// refused mode change, activates the window again from inside the resume;
// that activation is part of the same resume. Taken as a new one, a refused
// mode would show its box again at every close, without end.
bool isResuming = false;

class ResumeScope {
  public:
    ResumeScope() { isResuming = true; }
    ~ResumeScope() { isResuming = false; }
    ResumeScope(const ResumeScope&) = delete;
    ResumeScope& operator=(const ResumeScope&) = delete;
};

// Only a plain activation resumes: a wParam whose high word reports a
// minimised window does not.
void onActivate(WPARAM wParam) {
    if (!isRunning || (wParam != WA_ACTIVE && wParam != WA_CLICKACTIVE) || !isSuspended || isResuming) {
        return;
    }
    const ResumeScope resume;
    if (isFullscreen) {
        enterFullscreen();
        ShowWindow(mainWindow, SW_SHOWNORMAL);
        UpdateWindow(mainWindow);
    }
    isSuspended = false;
    if (isRunning) {
        callMovie(gameMaximizedRequest);
    }
}

void onActivateApp(WPARAM wParam) {
    if (!isRunning || wParam != FALSE || isSuspended) {
        return;
    }
    if (isFullscreen) {
        restoreDisplayMode();
        ShowWindow(mainWindow, SW_MINIMIZE);
        UpdateWindow(mainWindow);
        RedrawWindow(GetDesktopWindow(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    }
    isSuspended = true;
    if (isRunning) {
        callMovie(gameMinimizedRequest);
    }
}

// A game must not be interrupted by the screen saver or a monitor power-off.
bool isRefusedSystemCommand(WPARAM wParam) {
    return wParam == SC_SCREENSAVE || wParam == SC_MONITORPOWER;
}

} // namespace

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
        case WM_CLOSE:
        case WM_DESTROY:
            onClose();
            break;
        case WM_ACTIVATE:
            onActivate(wParam);
            break;
        case WM_ACTIVATEAPP:
            onActivateApp(wParam);
            break;
        case WM_SYSCOMMAND:
            if (isRefusedSystemCommand(wParam)) {
                return 0;
            }
            break;
        }
    } catch (...) {
        // Nothing may unwind into the system's dispatch.
        reportCaughtException(L"windowProcedure");
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
