#include "desktop/wallpaper.h"

#include "base/handles.h"
#include "base/program.h"

#include <memory>
#include <new>

namespace {

constexpr wchar_t desktopKey[] = L"Control Panel\\Desktop";
// Written whole, with the terminating null.
constexpr wchar_t notTiledOrStretched[] = L"0";

// The outcome is not examined: without a new bitmap the wallpaper is still
// pointed at the path, and an older bitmap there stays in use.
void convertToBitmap(const std::wstring& source, const std::wstring& bitmap) {
    const GdiplusSession gdiplus;
    if (!gdiplus.started()) {
        return;
    }
    CLSID encoder;
    if (findImageEncoder(L"image/bmp", &encoder) < 0) {
        return;
    }
    const GdiplusLibrary& library = *gdiplusLibrary();
    Gdiplus::GpBitmap* loaded = nullptr;
    library.createBitmapFromFile(source.c_str(), &loaded);
    // Disposed before the session ends.
    const UniqueGdiplusImage image(loaded);
    if (image) {
        library.saveImageToFile(image.get(), bitmap.c_str(), &encoder, nullptr);
    }
}

void setDesktopValue(HKEY key, const wchar_t* name) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(notTiledOrStretched),
                   sizeof notTiledOrStretched);
}

} // namespace

int findImageEncoder(const std::wstring& mimeType, CLSID* encoder) {
    const GdiplusLibrary& library = *gdiplusLibrary();
    UINT count = 0;
    UINT size = 0;
    library.getImageEncodersSize(&count, &size);
    if (size == 0) {
        return -1;
    }
    const std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
    if (!buffer) {
        return -1;
    }
    auto* const codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.get());
    // An unfilled buffer holds no records to walk.
    if (library.getImageEncoders(count, size, codecs) != Gdiplus::Ok) {
        return -1;
    }
    for (UINT i = 0; i < count; ++i) {
        if (codecs[i].MimeType && mimeType == codecs[i].MimeType) {
            *encoder = codecs[i].Clsid;
            return static_cast<int>(i);
        }
    }
    return -1;
}

int changeDesktopWallpaper(const std::wstring& imageName) {
    const std::wstring source = programFolder() + L"\\" + imageName;
    std::wstring bitmap = source + L".bmp";
    convertToBitmap(source, bitmap);

    UniqueKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return -1;
    }
    setDesktopValue(key.get(), L"TileWallpaper");
    setDesktopValue(key.get(), L"WallpaperStyle");
    RegFlushKey(key.get());
    key.reset();

    // Changed for this session only: the user's stored wallpaper stays.
    if (!SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, bitmap.data(), SPIF_SENDWININICHANGE)) {
        return -1;
    }
    PostMessageW(GetDesktopWindow(), WM_WININICHANGE, 0, 0);
    return 1;
}
