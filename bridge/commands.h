#pragma once
// The movie's commands: each FlashCall name and FSCommand word is looked up in
// its own table, in a fixed order, and run by its row.

#include "bridge/flash_control.h"

#include <string>

// Runs the FlashCall command the request names, if any, and hands its reply,
// if it has one, to `control`.
void dispatchFlashCall(IShockwaveFlash* control, const std::wstring& request);
// Runs the FSCommand `command`, if it is one; an FSCommand never replies.
void dispatchFsCommand(const std::wstring& command, const std::wstring& args);
