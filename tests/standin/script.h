#pragma once
// The movie script: what the stand-in does once a movie is loaded, one step
// per timer tick, so that its events arrive inside the host's message loop.

#include <windows.h>

#include <string>
#include <vector>

#include "modal.h"

// What a script needs of the control that runs it.
class ScriptHost {
  public:
    virtual void raiseFlashCall(const std::wstring& request) = 0;
    virtual void raiseFsCommand(const std::wstring& command, const std::wstring& args) = 0;
    // FlashCall or FSCommand with arguments that are not plain strings (see
    // the README); false when the event or an argument is not known.
    virtual bool raiseOddEvent(const std::wstring& event, const std::vector<std::wstring>& arguments) = 0;
    // Null when the host has no window.
    virtual HWND hostWindow() = 0;
    // The control's own window, where a player's input lands; null before
    // it is in place.
    virtual HWND playerWindow() = 0;
    // Ends the ticks that run the script: nothing of the stand-in's wakes the
    // host's loop any more.
    virtual void stopTicks() = 0;

  protected:
    ~ScriptHost() = default;
};

class Script {
  public:
    explicit Script(ScriptHost& host) : host(host) {}
    ~Script();
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;
    // Replaces the running script; false when the file cannot be read.
    bool load(const std::wstring& path);
    // Services the modal watchers, then runs the next step unless an event
    // is in flight or a step is still running.
    void tick();
    // CallFunction received this request: runs the step armed for it, once.
    void onCall(const std::wstring& request);

  private:
    struct ArmedCall {
        std::wstring request;
        std::wstring step;
    };
    void runLoadSteps();
    void runStep(const std::wstring& line);
    bool runNestedStep(const std::wstring& line);

    ScriptHost& host;
    std::vector<std::wstring> steps;
    size_t next = 0;
    DWORD waitStart = 0;
    DWORD waitLength = 0;
    // The number of `wait display` steps since the watch began.
    unsigned displayChangesAwaited = 0;
    bool running = false;
    std::vector<ArmedCall> armedCalls;
    ModalWatchers watchers;
};
