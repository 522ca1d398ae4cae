// What the shipped program file carries: its icon group and its manifest.
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <set>

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

class ProgramFile : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryExW(unixFilePath(SHIPPED_PROGRAM).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
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
    const std::string manifest = resource(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID);
    EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level=\"asInvoker\""));
}

} // namespace
