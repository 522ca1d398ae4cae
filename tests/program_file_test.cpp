// What the shipped program file carries: its icon group, its manifest and its
// version resource. GAMEHOST_PROGRAM_FILE names another copy to check, such
// as the one unpacked from the distributable zip.
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <set>
#include <winver.h>

namespace {

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
struct IconGroup {
    WORD reserved;
    WORD type;
    WORD count;
    IconGroupEntry entries[1];
};
#pragma pack(pop)

std::wstring programUnderTest() {
    wchar_t path[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"GAMEHOST_PROGRAM_FILE", path, MAX_PATH) > 0) {
        return path;
    }
    return unixFilePath(SHIPPED_PROGRAM);
}

// One string of the version resource's US English, Unicode block.
std::string versionString(const std::vector<BYTE>& info, const wchar_t* name) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || !value) {
        return "(missing)";
    }
    return utf8(value);
}

class ProgramFile : public ::testing::Test {
  protected:
    void SetUp() override {
        program_ = programUnderTest();
        module_ = LoadLibraryExW(program_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module_);
    }
    void TearDown() override { FreeLibrary(module_); }

    std::string resource(LPCWSTR type, LPCWSTR name) const {
        HRSRC found = FindResourceW(module_, name, type);
        if (!found) {
            return {};
        }
        const char* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
        return std::string(data, SizeofResource(module_, found));
    }

    std::string manifest() const { return resource(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID); }

    std::vector<BYTE> versionInfo() const {
        const DWORD size = GetFileVersionInfoSizeW(program_.c_str(), nullptr);
        std::vector<BYTE> info(size);
        if (size == 0 || !GetFileVersionInfoW(program_.c_str(), 0, size, info.data())) {
            return {};
        }
        return info;
    }

    std::wstring program_;
    HMODULE module_ = nullptr;
};

TEST_F(ProgramFile, CarriesSevenIconImagesFrom8To256) {
    const std::string data = resource(RT_GROUP_ICON, MAKEINTRESOURCEW(128));
    ASSERT_GE(data.size(), sizeof(IconGroup));
    const auto* group = reinterpret_cast<const IconGroup*>(data.data());
    ASSERT_EQ(7, group->count);
    std::set<int> sizes;
    for (int i = 0; i < group->count; ++i) {
        const IconGroupEntry& entry = group->entries[i];
        EXPECT_EQ(32, entry.bitCount);
        sizes.insert(entry.width == 0 ? 256 : entry.width);
        EXPECT_FALSE(resource(RT_ICON, MAKEINTRESOURCEW(entry.id)).empty());
    }
    EXPECT_EQ((std::set<int>{8, 16, 24, 32, 48, 64, 256}), sizes);
    EXPECT_NE(nullptr, LoadIconW(module_, MAKEINTRESOURCEW(128)));
}

TEST_F(ProgramFile, ManifestAsksToRunAsInvoker) {
    EXPECT_NE(std::string::npos, manifest().find("<requestedExecutionLevel level=\"asInvoker\""));
}

TEST_F(ProgramFile, ManifestDeclaresWindows10) {
    EXPECT_NE(std::string::npos,
              manifest().find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"));
    for (const char* older :
         {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"}) {
        EXPECT_NE(std::string::npos, manifest().find(older)) << older;
    }
}

// The game's resolution must mean physical pixels on a scaled display.
TEST_F(ProgramFile, ManifestDeclaresPerMonitorDpiAwareness) {
    const std::string text = manifest();
    EXPECT_NE(
        std::string::npos,
        text.find(
            "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>"));
    EXPECT_NE(std::string::npos, text.find("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                                           "WindowsSettings\">PerMonitorV2, PerMonitor</dpiAwareness>"));
}

TEST_F(ProgramFile, ManifestNamesTheProgramVersion) {
    EXPECT_NE(std::string::npos,
              manifest().find("name=\"GameHost\" version=\"" GAMEHOST_MANIFEST_VERSION "\""));
}

// Windows 7 SP1 is the floor: an older system refuses the file with its own
// message rather than failing on a missing entry point.
TEST_F(ProgramFile, NeedsWindows7) {
    // A data-file module's handle has its low bits set; the headers are at
    // the start of the file.
    const auto* file = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(module_) & ~ULONG_PTR{3});
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        file + reinterpret_cast<const IMAGE_DOS_HEADER*>(file)->e_lfanew);
    EXPECT_EQ(6, headers->OptionalHeader.MajorSubsystemVersion);
    EXPECT_EQ(1, headers->OptionalHeader.MinorSubsystemVersion);
}

TEST_F(ProgramFile, VersionResourceNamesTheProductAndItsVersion) {
    const std::vector<BYTE> info = versionInfo();
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(GAMEHOST_PRODUCT, versionString(info, L"ProductName"));
    EXPECT_EQ(GAMEHOST_DESCRIPTION, versionString(info, L"FileDescription"));
    EXPECT_EQ(GAMEHOST_COMPANY, versionString(info, L"CompanyName"));
    EXPECT_EQ("gamehost.exe", versionString(info, L"OriginalFilename"));
    EXPECT_EQ(GAMEHOST_VERSION, versionString(info, L"FileVersion"));
    EXPECT_EQ(GAMEHOST_VERSION, versionString(info, L"ProductVersion"));
}

TEST_F(ProgramFile, VersionResourceCarriesTheNumericVersion) {
    const std::vector<BYTE> info = versionInfo();
    ASSERT_FALSE(info.empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    EXPECT_EQ(VS_FFI_SIGNATURE, fixed->dwSignature);
    const DWORD major = GAMEHOST_VERSION_MAJOR, minor = GAMEHOST_VERSION_MINOR,
                patch = GAMEHOST_VERSION_PATCH, build = GAMEHOST_VERSION_BUILD;
    EXPECT_EQ(MAKELONG(minor, major), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(build, patch), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), fixed->dwFileOS);
}

} // namespace
