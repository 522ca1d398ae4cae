#pragma once
// The desktop wallpaper, from an image in the program folder.

#include <windows.h>

#include <string>

// Converts the image `imageName`, relative to the program folder, into a
// bitmap beside it (the whole name with ".bmp" appended), sets the desktop's
// tiling and style to "0" and asks the system to use the bitmap. The values
// are set and the system asked even when the image cannot be converted.
// 1 when the system took the wallpaper; -1 when it refused, or when the
// desktop's registry key cannot be opened, in which case nothing is changed.
int changeDesktopWallpaper(const std::wstring& imageName);

// The index of the first GDI+ encoder whose MIME type is exactly `mimeType`,
// with its class identifier in `encoder`; -1, `encoder` untouched, when there
// is none. GDI+ must be started.
int findImageEncoder(const std::wstring& mimeType, CLSID* encoder);
