#include "host/window_procedure.h"

#include "bridge/codec.h"
#include "bridge/flash_control.h"
#include "bridge/window_commands.h"
#include "display/fullscreen.h"
#include "base/exception_report.h"
#include "base/program.h"

namespace {

// Set while a resume runs. Showing the window, or closing the box of a
// refused mode change, activates the window again from inside the resume;
// that activation is part of the same resume. Taken as a new one, a refused
// mode would show its box again at every close, without end.
bool isResuming = false;
// Set while a suspend runs. On Windows, minimising the active window
// activates another program's window before ShowWindow returns, so the
// program's deactivation arrives inside the suspend; it is part of it.
bool isSuspending = false;

// Sets a flag for as long as it lives.
class FlagScope {
  public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

  private:
    bool& flag_;
};

// Only a plain activation resumes: a wParam whose high word reports a
// minimised window does not.
void onActivate(WPARAM wParam) {
    if (!isRunning || (wParam != WA_ACTIVE && wParam != WA_CLICKACTIVE) || !isSuspended || isResuming) {
        return;
    }
    const FlagScope resume(isResuming);
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
    if (!isRunning || wParam != FALSE || isSuspended || isSuspending) {
        return;
    }
    const FlagScope suspend(isSuspending);
    if (isFullscreen) {
        restoreDisplayMode();
        ShowWindow(mainWindow, SW_MINIMIZE);
        UpdateWindow(mainWindow);
        repaintDesktop();
    }
    isSuspended = true;
    if (isRunning) {
        callMovie(gameMinimizedRequest);
    }
}

// A message sent from another thread (another program's close, the system's
// end of the session) is handled inside the loop's GetMessageW, which then
// sleeps on until a message is posted: the loop would not see the game end
// while the game stays on screen.
void wakeTheLoop() {
    if (InSendMessage()) {
        PostMessageW(mainWindow, WM_NULL, 0, 0);
    }
}

// Windows may end the process the moment WM_ENDSESSION returns: the movie
// hears of the end and the desktop gets its display back before that. The
// player is not closed here, under a call of the movie's that may be running
// (its box); if the process lives on, the loop ends the game as after a close.
void onEndSession() {
    quitGame();
    if (isFullscreen && !isSuspended) {
        restoreDisplayMode();
        repaintDesktop();
    }
    wakeTheLoop();
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
            // Only a request: a modal loop inside a call of the player's
            // (the movie's box, the file dialog, start-up's box) dispatches
            // posted closes here too, and the default processing would
            // destroy the window, and with it the player, under that call.
            // Shutdown destroys it once the loop has ended.
            quitGame();
            wakeTheLoop();
            return 0;
        case WM_DESTROY:
            // The hosting has closed the player before this reaches us: the
            // movie can no longer hear of it.
            isRunning = false;
            wakeTheLoop();
            break;
        case WM_QUERYENDSESSION:
            // The game never holds the session up.
            return TRUE;
        case WM_ENDSESSION:
            // FALSE: the end was cancelled, and the game goes on.
            if (wParam) {
                onEndSession();
            }
            return 0;
        case WM_DPICHANGED:
            followDpiChange(*reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_ACTIVATE:
            onActivate(wParam);
            break;
        case WM_ACTIVATEAPP:
            onActivateApp(wParam);
            break;
        case WM_DISPLAYCHANGE:
            followDisplayChange();
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
