#pragma once
// Read access to the user's files at the movie's request.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The names of the entries matching `pattern` that are not folders, in the
// order the file system gives them; none when the search fails.
std::vector<std::wstring> findFileNames(const std::wstring& pattern);

// The text of a file: UTF-16LE after a FF FE mark, else 8-bit, each byte one
// code unit (no code page); it ends at the first zero unit or byte. A path
// without a drive letter is read from the program folder. Nothing when the
// file cannot be opened, nor when it is too large to hold (never a part of
// its text). The text has spare capacity, so that a reply can be built around
// it in place.
std::optional<std::wstring> readFileText(const std::wstring& path);

// Whether the text of a file of `bytes` bytes, with its spare capacity, fits
// in a string: on the 32-bit program no file of 4 GiB or more does.
bool canHoldFileText(uint64_t bytes);
