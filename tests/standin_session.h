#pragma once
// Test support: a temporary folder, UTF-8 files, and a session with the
// stand-in control in which the test program itself plays the host.

#include "base/handles.h"

#include <string>
#include <utility>
#include <vector>

std::string utf8(const std::wstring& text);

// The Windows path of a file the build made, given its Unix path.
std::wstring unixFilePath(const std::wstring& path);
// The stand-in the bench registers.
std::wstring registeredStandIn();
// The stand-in's log line for an object made by its copy at `module`.
std::string created(const std::wstring& module = registeredStandIn());

// A fresh folder under the temp path, removed with its files at the end.
class TempFolder {
  public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
};

// A FlashCall request as the control sends it, with `arguments` as elements.
std::string flashCallRequest(const std::string& name, const std::string& arguments = "");

void writeUtf8File(const std::wstring& path, const std::string& text);
std::vector<std::string> readLines(const std::wstring& path);

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

// One stand-in control, configured by its environment variables, logging into
// the session's folder. The variables are cleared again at the end.
class StandInSession {
  public:
    explicit StandInSession(const Environment& environment = {});
    StandInSession(const StandInSession&) = delete;
    StandInSession& operator=(const StandInSession&) = delete;
    ~StandInSession();

    HRESULT create();
    IDispatch* control() const { return control_.get(); }
    // Hands the control's reference over; the session keeps none.
    ComPtr<IDispatch> takeControl() { return std::move(control_); }
    // Connects `sink` to the control's event connection point, as start-up does.
    HRESULT connect(IDispatch* sink);
    // Writes `script` as the movie, loads it and pumps messages until the
    // script has stopped or a timeout passed. False on timeout.
    bool play(const std::string& script);
    const TempFolder& folder() const { return folder_; }
    std::vector<std::string> log() const { return readLines(folder_.file(L"standin.log")); }
    // The log after the line that loaded the movie.
    std::vector<std::string> scriptLog() const;

  private:
    TempFolder folder_;
    Environment environment_;
    ComPtr<IDispatch> control_;
};

// What this process writes to the debugger output while the capture lives,
// one string a write. A vectored handler sees the exception that carries each
// write before anything else does.
class DebugOutputCapture {
  public:
    DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
    ~DebugOutputCapture();
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    static LONG CALLBACK collect(EXCEPTION_POINTERS* exception);
    std::vector<std::string> lines_;
    void* handler_;
};

// Pumps this thread's messages until `done` holds or `milliseconds` passed.
template <typename Done> bool pumpUntil(Done done, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > milliseconds) {
            return false;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}
