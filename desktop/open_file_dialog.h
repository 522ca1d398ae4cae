#pragma once
// The system's open-file dialog, owned by the main window.

#include <string>
#include <vector>

// The dialog's one file type: MP3 files. A list of display text and pattern
// pairs, each string null-terminated, the list ended by an empty string.
inline constexpr wchar_t mp3Filter[] = L"MP3 Files (*.mp3)\0*.mp3\0";

// Lets the user pick one or several existing files of the types in `filter`
// (a list like mp3Filter) under the caption `title`. The full paths in the
// dialog's order; none when the user cancelled or the dialog failed.
std::vector<std::wstring> showOpenFileDialog(const std::wstring& title, const wchar_t* filter);
