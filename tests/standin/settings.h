#pragma once
// What one run of the stand-in is to do, from its environment variables.

#include <windows.h>

#include <string>
#include <vector>

// Read from the environment each time a control is created.
struct Settings {
    // Version 11.2: major in the high word, minor in the low word.
    DWORD version = 0x000B0002;
    std::vector<std::wstring> failing;
    HRESULT failure = E_FAIL;
    bool failAsException = false;
    // Names answered only from the stand-in's own type library, looked up as
    // a control built on the common COM class libraries does.
    bool namesFromTypeLibrary = false;
    // An unhandled-exception filter of the control's own, set at its
    // creation, as some players set one.
    bool ownFilter = false;
    // An event that the benchmark made, set when the host puts the movie.
    std::wstring movieEvent;

    bool fails(const std::wstring& name) const {
        for (const std::wstring& item : failing) {
            if (item == name) {
                return true;
            }
        }
        return false;
    }
};

Settings readSettings();

// Sets the movie's event, if there is one.
void signalMovie(const Settings& settings);

// The log line that follows the line of a call configured to fail.
void logFailure(const std::wstring& name, HRESULT result);
