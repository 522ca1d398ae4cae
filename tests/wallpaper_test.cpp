// changeWallpaper end to end: images the test makes in the program folder,
// converted by the real program at the stand-in movie's request, with the
// desktop's registry values and the system's wallpaper checked after.
#include "desktop/wallpaper.h"
#include "base/handles.h"
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <tuple>

namespace {

using Lines = std::vector<std::string>;

constexpr wchar_t desktopKey[] = L"Control Panel\\Desktop";
constexpr wchar_t backupKey[] = L"Software\\GamehostTests\\DesktopBackup";
// The GDI+ encoder for Windows bitmaps.
constexpr CLSID bmpEncoder = {0x557cf400, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

using Gdiplus::ARGB;
constexpr ARGB red = 0xFFFF0000;
constexpr ARGB blue = 0xFF0000FF;

std::wstring systemWallpaper() {
    wchar_t path[MAX_PATH] = {};
    SystemParametersInfoW(SPI_GETDESKWALLPAPER, MAX_PATH, path, 0);
    return path;
}

void setSystemWallpaper(std::wstring path) {
    SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, path.data(), SPIF_SENDWININICHANGE);
}

struct RegistryValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};

std::optional<RegistryValue> readDesktopValue(const wchar_t* name) {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegistryValue value;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.data.resize(size);
    RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size);
    return value;
}

void writeDesktopValue(const wchar_t* name, const std::optional<RegistryValue>& value) {
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, KEY_SET_VALUE, key.put()));
    if (value) {
        RegSetValueExW(key.get(), name, 0, value->type, value->data.data(),
                       static_cast<DWORD>(value->data.size()));
    } else {
        RegDeleteValueW(key.get(), name);
    }
}

RegistryValue text(const wchar_t* data) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(data);
    return {REG_SZ, std::vector<BYTE>(bytes, bytes + (wcslen(data) + 1) * sizeof(wchar_t))};
}

// An image of `width` by `height`, its upper half red and its lower half
// blue, saved by GDI+ in the format of `mimeType`.
void makeImage(const std::wstring& path, const wchar_t* mimeType, INT width, INT height) {
    const GdiplusSession gdiplus;
    ASSERT_TRUE(gdiplus.started());
    CLSID encoder;
    ASSERT_LE(0, findImageEncoder(mimeType, &encoder));
    Gdiplus::GpBitmap* made = nullptr;
    ASSERT_EQ(Gdiplus::Ok, Gdiplus::DllExports::GdipCreateBitmapFromScan0(
                               width, height, 0, PixelFormat24bppRGB, nullptr, &made));
    const UniqueGdiplusImage image(made);
    for (INT y = 0; y < height; ++y) {
        for (INT x = 0; x < width; ++x) {
            Gdiplus::DllExports::GdipBitmapSetPixel(made, x, y, y < height / 2 ? red : blue);
        }
    }
    ASSERT_EQ(Gdiplus::Ok,
              Gdiplus::DllExports::GdipSaveImageToFile(image.get(), path.c_str(), &encoder, nullptr));
}

std::string fileBytes(const std::wstring& path) {
    std::string bytes;
    UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return bytes;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Channels within `tolerance` of each other, for JPEG's losses.
bool closeTo(DWORD color, ARGB expected, int tolerance) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(static_cast<int>((color >> shift) & 0xFF) -
                     static_cast<int>((expected >> shift) & 0xFF)) > tolerance) {
            return false;
        }
    }
    return true;
}

// A Windows bitmap file of `width` by `height` whose upper half is red and
// lower half blue.
void expectBitmapOfTheImage(const std::wstring& path, LONG width, LONG height, int tolerance) {
    const std::string bytes = fileBytes(path);
    ASSERT_GE(bytes.size(), sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) << utf8(path);
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    memcpy(&file, bytes.data(), sizeof file);
    memcpy(&info, bytes.data() + sizeof file, sizeof info);
    EXPECT_EQ(0x4D42, file.bfType) << "BM";
    EXPECT_EQ(bytes.size(), file.bfSize);
    EXPECT_LE(sizeof(BITMAPINFOHEADER), info.biSize);
    EXPECT_EQ(width, info.biWidth);
    EXPECT_EQ(height, std::abs(info.biHeight));
    ASSERT_TRUE(info.biBitCount == 24 || info.biBitCount == 32) << info.biBitCount;
    ASSERT_EQ(static_cast<DWORD>(BI_RGB), info.biCompression);
    const size_t pixelBytes = info.biBitCount / 8;
    const size_t stride = (width * pixelBytes + 3) / 4 * 4;
    ASSERT_GE(bytes.size(), file.bfOffBits + stride * height);
    // Rows are stored bottom-up unless the height is negative.
    auto pixel = [&](LONG x, LONG y) {
        const LONG row = info.biHeight > 0 ? height - 1 - y : y;
        const auto* p =
            reinterpret_cast<const BYTE*>(bytes.data()) + file.bfOffBits + row * stride + x * pixelBytes;
        return static_cast<DWORD>(p[0] | p[1] << 8 | p[2] << 16);
    };
    for (const auto& [x, y, color] : {std::tuple{0L, 0L, red},
                                      {width - 1, height / 2 - 2, red},
                                      {0L, height - 1, blue},
                                      {width - 1, height / 2 + 2, blue}}) {
        EXPECT_TRUE(closeTo(pixel(x, y), color, tolerance))
            << x << "," << y << ": " << std::hex << pixel(x, y);
    }
}

std::string changeWallpaper(const std::string& image) {
    return flashCallRequest("changeWallpaper", "<string>" + image + "</string>");
}

const std::string probeTile = "probe registry HKCU\\Control Panel\\Desktop\\TileWallpaper";
const std::string probeStyle = "probe registry HKCU\\Control Panel\\Desktop\\WallpaperStyle";

// The lines of `run` after start-up, up to the movie's quit.
Lines movieLines(const HostRun& run) {
    Lines lines = afterStartup(run);
    const auto quit = std::find(lines.begin(), lines.end(), "event FSCommand quit");
    return Lines(lines.begin(), quit);
}

class WallpaperCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        wallpaper_ = systemWallpaper();
        tile_ = readDesktopValue(L"TileWallpaper");
        style_ = readDesktopValue(L"WallpaperStyle");
        // Values the host must overwrite.
        writeDesktopValue(L"TileWallpaper", text(L"1"));
        writeDesktopValue(L"WallpaperStyle", text(L"2"));
        setSystemWallpaper(L"");
    }
    void TearDown() override {
        DeleteFileW(inFolder(L"skins\\blue.jpg").c_str());
        DeleteFileW(inFolder(L"skins\\blue.jpg.bmp").c_str());
        RemoveDirectoryW(inFolder(L"skins").c_str());
        writeDesktopValue(L"TileWallpaper", tile_);
        writeDesktopValue(L"WallpaperStyle", style_);
        setSystemWallpaper(wallpaper_);
    }
    std::wstring inFolder(const std::wstring& name) const { return folder_.path() + L"\\" + name; }
    std::string script(const Lines& steps) const {
        std::string text;
        for (const std::string& step : steps) {
            text += step + "\n";
        }
        return text + "fscommand quit\n";
    }

    ProgramFolder folder_;
    std::wstring wallpaper_;
    std::optional<RegistryValue> tile_;
    std::optional<RegistryValue> style_;
};

TEST_F(WallpaperCommand, ConvertsPngAndJpegBesideThemAndMakesTheBitmapTheWallpaper) {
    ASSERT_TRUE(CreateDirectoryW(inFolder(L"skins").c_str(), nullptr));
    makeImage(inFolder(L"photo.png"), L"image/png", 37, 21);
    makeImage(inFolder(L"skins\\blue.jpg"), L"image/jpeg", 64, 48);
    // A bitmap left from an earlier call is written again.
    writeUtf8File(inFolder(L"photo.png.bmp"), "stale");
    const std::string png = changeWallpaper("photo.png");
    const std::string jpeg = changeWallpaper("skins\\blue.jpg");
    const HostRun run = folder_.run(script({"flashcall " + png, "probe wallpaper", probeTile, probeStyle,
                                            "flashcall " + jpeg, "probe wallpaper"}));
    EXPECT_EQ(
        (Lines{"event FlashCall " + png, "no reply", "probe wallpaper " + utf8(inFolder(L"photo.png.bmp")),
               probeTile + " = 0", probeStyle + " = 0", "event FlashCall " + jpeg, "no reply",
               "probe wallpaper " + utf8(inFolder(L"skins\\blue.jpg.bmp"))}),
        movieLines(run));
    EXPECT_EQ(1u, run.exitCode);
    expectBitmapOfTheImage(inFolder(L"photo.png.bmp"), 37, 21, 0);
    expectBitmapOfTheImage(inFolder(L"skins\\blue.jpg.bmp"), 64, 48, 24);
    // Whole strings with their null: REG_SZ of 4 bytes.
    for (const wchar_t* name : {L"TileWallpaper", L"WallpaperStyle"}) {
        const std::optional<RegistryValue> value = readDesktopValue(name);
        ASSERT_TRUE(value) << utf8(name);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), value->type) << utf8(name);
        EXPECT_EQ(text(L"0").data, value->data) << utf8(name);
    }
}

TEST_F(WallpaperCommand, MissingImageStillSetsTheDesktopValues) {
    // An older bitmap of the name stays as it was.
    writeUtf8File(inFolder(L"gone.png.bmp"), "older");
    const std::string gone = changeWallpaper("gone.png");
    const std::string missing = changeWallpaper("missing.png");
    const HostRun run = folder_.run(script({"flashcall " + gone, "probe wallpaper", probeTile, probeStyle,
                                            "flashcall " + missing, "probe wallpaper"}));
    const Lines lines = movieLines(run);
    ASSERT_EQ(8u, lines.size()) << ::testing::PrintToString(lines);
    EXPECT_EQ((Lines{"event FlashCall " + gone, "no reply"}), Lines(lines.begin(), lines.begin() + 2));
    EXPECT_EQ((Lines{probeTile + " = 0", probeStyle + " = 0", "event FlashCall " + missing, "no reply"}),
              Lines(lines.begin() + 3, lines.begin() + 7));
    EXPECT_EQ("older", fileBytes(inFolder(L"gone.png.bmp")));
    EXPECT_FALSE(exists(inFolder(L"missing.png.bmp")));
    if (lines[2] == "probe wallpaper " && lines[7] == "probe wallpaper ") {
        GTEST_SKIP() << "Known Wine difference: the wallpaper is not changed to a bitmap that does not exist";
    }
    EXPECT_EQ("probe wallpaper " + utf8(inFolder(L"gone.png.bmp")), lines[2]);
    EXPECT_EQ("probe wallpaper " + utf8(inFolder(L"missing.png.bmp")), lines[7]);
}

TEST_F(WallpaperCommand, NamesAreTakenLiterallyBehindTheProgramFolder) {
    makeImage(inFolder(L"a&amp;b.png"), L"image/png", 8, 6);
    const std::string entity = changeWallpaper("a&amp;b.png");
    const std::string absolute = changeWallpaper("C:\\windows\\a.png");
    const HostRun run = folder_.run(
        script({"flashcall " + entity, "probe wallpaper", "flashcall " + absolute, "probe wallpaper"}));
    const Lines lines = movieLines(run);
    ASSERT_EQ(6u, lines.size()) << ::testing::PrintToString(lines);
    EXPECT_EQ("probe wallpaper " + utf8(inFolder(L"a&amp;b.png.bmp")), lines[2]);
    expectBitmapOfTheImage(inFolder(L"a&amp;b.png.bmp"), 8, 6, 0);
    EXPECT_FALSE(exists(inFolder(L"a&b.png.bmp")));
    EXPECT_FALSE(exists(L"C:\\windows\\a.png.bmp"));
    if (lines[5] == lines[2]) {
        GTEST_SKIP() << "Known Wine difference: the wallpaper is not changed to a bitmap that does not exist";
    }
    EXPECT_EQ("probe wallpaper " + utf8(inFolder(L"C:\\windows\\a.png.bmp")), lines[5]);
}

// Saves the desktop's key with everything in it, deletes it for the test and
// puts it back after.
class WithoutDesktopKey : public WallpaperCommand {
  protected:
    void SetUp() override {
        WallpaperCommand::SetUp();
        RegDeleteTreeW(HKEY_CURRENT_USER, backupKey);
        UniqueKey backup;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, backupKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, backup.put(), nullptr));
        UniqueKey desktop;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, KEY_READ, desktop.put()));
        ASSERT_EQ(ERROR_SUCCESS, RegCopyTreeW(desktop.get(), nullptr, backup.get()));
        desktop.reset();
        saved_ = true;
        // The key itself goes too.
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CURRENT_USER, desktopKey));
        ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, KEY_READ, desktop.put()));
    }
    void TearDown() override {
        if (saved_) {
            UniqueKey backup;
            UniqueKey desktop;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, backupKey, 0, KEY_READ, backup.put()) == ERROR_SUCCESS &&
                RegCreateKeyExW(HKEY_CURRENT_USER, desktopKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                desktop.put(), nullptr) == ERROR_SUCCESS) {
                EXPECT_EQ(ERROR_SUCCESS, RegCopyTreeW(backup.get(), nullptr, desktop.get()));
            }
            backup.reset();
            RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\GamehostTests");
        }
        WallpaperCommand::TearDown();
    }
    bool saved_ = false;
};

TEST_F(WithoutDesktopKey, NothingIsWrittenAndTheWallpaperStays) {
    makeImage(inFolder(L"photo.png"), L"image/png", 10, 10);
    const std::string png = changeWallpaper("photo.png");
    const HostRun run = folder_.run(script({"flashcall " + png, "probe wallpaper", probeTile}));
    // The conversion comes first and its bitmap stays.
    expectBitmapOfTheImage(inFolder(L"photo.png.bmp"), 10, 10, 0);
    UniqueKey desktop;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, KEY_READ, desktop.put()) == ERROR_SUCCESS) {
        GTEST_SKIP() << "Known Wine difference: user32 makes the desktop's key again when a program starts";
    }
    EXPECT_EQ((Lines{"event FlashCall " + png, "no reply", "probe wallpaper ", probeTile + " = missing"}),
              movieLines(run));
}

// The desktop's key for reading only, as a key the host cannot open for
// writing; its own access rules are put back after.
class ReadOnlyDesktopKey : public WallpaperCommand {
  protected:
    void SetUp() override {
        WallpaperCommand::SetUp();
        UniqueKey desktop;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, READ_CONTROL | WRITE_DAC, desktop.put()));
        DWORD size = 0;
        RegGetKeySecurity(desktop.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
        rules_.resize(size);
        ASSERT_EQ(ERROR_SUCCESS,
                  RegGetKeySecurity(desktop.get(), DACL_SECURITY_INFORMATION, rules_.data(), &size));
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = nullptr;
        ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
        std::vector<BYTE> list(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(everyone));
        auto* acl = reinterpret_cast<ACL*>(list.data());
        InitializeAcl(acl, static_cast<DWORD>(list.size()), ACL_REVISION);
        AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone);
        SECURITY_DESCRIPTOR readOnly;
        InitializeSecurityDescriptor(&readOnly, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&readOnly, TRUE, acl, FALSE);
        const LSTATUS set = RegSetKeySecurity(desktop.get(), DACL_SECURITY_INFORMATION, &readOnly);
        FreeSid(everyone);
        ASSERT_EQ(ERROR_SUCCESS, set);
        restricted_ = true;
        UniqueKey writable;
        ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0,
                                               KEY_QUERY_VALUE | KEY_SET_VALUE, writable.put()));
    }
    void TearDown() override {
        if (restricted_) {
            UniqueKey desktop;
            ASSERT_EQ(ERROR_SUCCESS,
                      RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, WRITE_DAC, desktop.put()));
            EXPECT_EQ(ERROR_SUCCESS,
                      RegSetKeySecurity(desktop.get(), DACL_SECURITY_INFORMATION, rules_.data()));
        }
        WallpaperCommand::TearDown();
    }
    std::vector<BYTE> rules_;
    bool restricted_ = false;
};

TEST_F(ReadOnlyDesktopKey, NothingIsWrittenAndTheWallpaperStays) {
    makeImage(inFolder(L"photo.png"), L"image/png", 10, 10);
    const std::string png = changeWallpaper("photo.png");
    const HostRun run = folder_.run(script({"flashcall " + png, "probe wallpaper", probeTile, probeStyle}));
    EXPECT_EQ((Lines{"event FlashCall " + png, "no reply", "probe wallpaper ", probeTile + " = 1",
                     probeStyle + " = 2"}),
              movieLines(run));
    expectBitmapOfTheImage(inFolder(L"photo.png.bmp"), 10, 10, 0);
}

// atl.dll, winmm.dll and gdiplus.dll are not among the libraries Windows
// always takes from its own folder: found by the usual search, one of that
// name beside the game would run with the player's rights.
class SystemLibrariesOnlyFromTheSystemFolder : public WallpaperCommand {
  protected:
    void SetUp() override {
        WallpaperCommand::SetUp();
        ASSERT_TRUE(nativeFirst_.set());
    }

  private:
    const NativeLibrariesFirst nativeFirst_{L"atl", L"winmm", L"gdiplus"};
};

TEST_F(SystemLibrariesOnlyFromTheSystemFolder, LibrariesBesideTheGameAreNeverLoaded) {
    // The planted library does log when something loads it.
    ASSERT_TRUE(CopyFileW(unixFilePath(PLANTED_LIBRARY).c_str(), inFolder(L"planted.dll").c_str(), FALSE));
    UniqueModule check(LoadLibraryW(inFolder(L"planted.dll").c_str()));
    ASSERT_TRUE(check);
    check.reset();
    EXPECT_EQ(Lines{"loaded planted.dll"}, readLines(inFolder(L"planted.log")));
    DeleteFileW(inFolder(L"planted.log").c_str());

    for (const wchar_t* name : {L"atl.dll", L"winmm.dll", L"gdiplus.dll"}) {
        ASSERT_TRUE(CopyFileW(inFolder(L"planted.dll").c_str(), inFolder(name).c_str(), FALSE)) << utf8(name);
    }
    makeImage(inFolder(L"photo.png"), L"image/png", 37, 21);
    const std::string getVolume = flashCallRequest("getVolume");
    const std::string setVolume = flashCallRequest("setVolume", "<number>50</number>");
    const std::string wallpaper = changeWallpaper("photo.png");
    const HostRun run = folder_.run(script(
        {"flashcall " + getVolume, "flashcall " + setVolume, "flashcall " + wallpaper, "probe wallpaper"}));
    EXPECT_EQ(1u, run.exitCode);
    // Known Wine difference: without a wave-out device the level reads as 0.
    EXPECT_EQ((Lines{"event FlashCall " + getVolume, "  reply <number>0</number>",
                     "event FlashCall " + setVolume, "no reply", "event FlashCall " + wallpaper, "no reply",
                     "probe wallpaper " + utf8(inFolder(L"photo.png.bmp"))}),
              movieLines(run));
    expectBitmapOfTheImage(inFolder(L"photo.png.bmp"), 37, 21, 0);
    EXPECT_EQ(Lines{}, readLines(inFolder(L"planted.log")));
}

TEST(FindImageEncoder, FindsTheBitmapEncoderByItsExactMimeType) {
    const GdiplusSession gdiplus;
    ASSERT_TRUE(gdiplus.started());
    CLSID found = {};
    EXPECT_LE(0, findImageEncoder(L"image/bmp", &found));
    EXPECT_TRUE(IsEqualCLSID(bmpEncoder, found));

    const CLSID untouched = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    for (const wchar_t* other : {L"image/BMP", L"image/bm", L"image/bmpx", L""}) {
        CLSID left = untouched;
        EXPECT_EQ(-1, findImageEncoder(other, &left)) << utf8(other);
        EXPECT_TRUE(IsEqualCLSID(untouched, left)) << utf8(other);
    }
}

TEST(FindImageEncoder, GivesTheIndexInTheEncoderList) {
    const GdiplusSession gdiplus;
    ASSERT_TRUE(gdiplus.started());
    UINT count = 0;
    UINT size = 0;
    ASSERT_EQ(Gdiplus::Ok, Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &size));
    std::vector<BYTE> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    ASSERT_EQ(Gdiplus::Ok, Gdiplus::DllExports::GdipGetImageEncoders(count, size, codecs));
    ASSERT_LT(1u, count);
    for (UINT i = 0; i < count; ++i) {
        CLSID found = {};
        EXPECT_EQ(static_cast<int>(i), findImageEncoder(codecs[i].MimeType, &found))
            << utf8(codecs[i].MimeType);
        EXPECT_TRUE(IsEqualCLSID(codecs[i].Clsid, found));
    }
}

} // namespace
