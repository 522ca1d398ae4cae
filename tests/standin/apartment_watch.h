#pragma once
// What the host program asks of the system, watched in its import table.
//
// Where the host ends COM, as Windows would see it. On Windows the last
// CoUninitialize of the thread frees the libraries COM loaded, in use or not:
// a control still alive then has its code unmapped under its own window,
// timers and threads. Wine never unloads a library there, so the stand-in
// watches the host's own CoUninitialize instead and logs a control that is
// still alive at that moment.

#include <windows.h>

// Puts the watch into the program's import table, once; `liveControls`
// counts this copy's live controls.
void watchApartmentEnd(const LONG& liveControls);

// The program's import-table slot that holds `function`, or null.
FARPROC* importSlot(HMODULE program, FARPROC function);

// From now on logs "open PATH" for each CreateFileW of the host program
// itself, before the call; false when it does not import it.
bool watchOpens();
