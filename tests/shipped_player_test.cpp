// The player control a studio ships beside the program: the real program
// under Wine, with a copy of the stand-in in its folder under the configured
// name, with and without the stand-in's registration. The stand-in's first
// line names the file it was loaded from, so each case sees which copy served.
#include "tests/host_run.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t standInKey[] = L"CLSID\\{D27CDB6E-AE6D-11CF-96B8-444553540000}\\InprocServer32";

std::wstring readString(HKEY key, const wchar_t* name) {
    wchar_t data[MAX_PATH] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return data;
}

void writeString(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Takes the stand-in's registration away for its lifetime, as on a PC that
// has no player installed, and puts it back even when a check fails.
class NoRegisteredPlayer {
  public:
    NoRegisteredPlayer() {
        UniqueKey key;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, standInKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
            server_ = readString(key.get(), nullptr);
            threadingModel_ = readString(key.get(), L"ThreadingModel");
        }
        key.reset();
        removed_ = RegDeleteKeyW(HKEY_CLASSES_ROOT, standInKey) == ERROR_SUCCESS;
    }
    NoRegisteredPlayer(const NoRegisteredPlayer&) = delete;
    NoRegisteredPlayer& operator=(const NoRegisteredPlayer&) = delete;
    ~NoRegisteredPlayer() {
        UniqueKey key;
        if (removed_ && RegCreateKeyExW(HKEY_CLASSES_ROOT, standInKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                        key.put(), nullptr) == ERROR_SUCCESS) {
            writeString(key.get(), nullptr, server_);
            writeString(key.get(), L"ThreadingModel", threadingModel_);
        }
    }
    // The bench had registered the stand-in, and it is gone now.
    bool removed() const { return removed_ && server_ == registeredStandIn(); }

  private:
    std::wstring server_;
    std::wstring threadingModel_;
    bool removed_ = false;
};

// A program folder with `file` holding a copy of the stand-in.
std::wstring placeStandIn(const ProgramFolder& folder, const std::wstring& file) {
    const std::wstring path = folder.path() + L"\\" + file;
    CopyFileW(registeredStandIn().c_str(), path.c_str(), FALSE);
    return path;
}

void expectGameRan(const HostRun& run, const Lines& startup) {
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(startup + quitting, run.log);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Lines{}, run.boxes);
}

TEST(ShippedPlayer, RunsTheGameWithoutRegistration) {
    ProgramFolder folder;
    const std::wstring player = placeStandIn(folder, PLAYER_FILE);
    const NoRegisteredPlayer unregistered;
    ASSERT_TRUE(unregistered.removed());
    expectGameRan(folder.run("fscommand quit\n"), startupCalls(folder, player));
}

TEST(ShippedPlayer, ServesBeforeTheRegisteredOne) {
    ProgramFolder folder;
    const std::wstring player = placeStandIn(folder, PLAYER_FILE);
    expectGameRan(folder.run("fscommand quit\n"), startupCalls(folder, player));
}

TEST(ShippedPlayer, TooOldOneIsRefusedLikeARegisteredOne) {
    ProgramFolder folder;
    const std::wstring player = placeStandIn(folder, PLAYER_FILE);
    // The registered one is no way out either: the player that was created decides.
    const HostRun run = folder.run("fscommand quit\n", {{L"STANDIN_VERSION", L"0x00090000"}});
    EXPECT_EQ(-1, signedCode(run.exitCode));
    EXPECT_EQ(Lines{noticeBox}, run.boxes);
    const Lines calls = startupCalls(folder, player);
    EXPECT_EQ(Lines(calls.begin(), calls.begin() + 5) + Lines{"release"}, run.log);
}

TEST(ShippedPlayer, FileThatIsNoLibraryLeavesTheRegisteredOne) {
    ProgramFolder folder;
    writeUtf8File(folder.path() + L"\\" + PLAYER_FILE, "not a library\n");
    expectGameRan(folder.run("fscommand quit\n"), startupCalls(folder));

    const NoRegisteredPlayer unregistered;
    ASSERT_TRUE(unregistered.removed());
    const size_t opened = openedAddresses().size();
    const HostRun run = folder.run("fscommand quit\n");
    EXPECT_EQ(-1, signedCode(run.exitCode));
    EXPECT_EQ(Lines{noticeBox}, run.boxes);
    EXPECT_EQ(Lines{}, run.log);
    EXPECT_EQ(Lines{utf8(DOWNLOAD_ADDRESS)}, addressesOpenedAfter(opened));
}

// A program built with another player file name and download page.
TEST(StudioSettings, PlayerFileNameIsTheConfiguredOne) {
    ProgramFolder folder(OTHER_PROGRAM);
    placeStandIn(folder, PLAYER_FILE);
    const std::wstring player = placeStandIn(folder, OTHER_PLAYER_FILE);
    expectGameRan(folder.run("fscommand quit\n"), startupCalls(folder, player));
}

TEST(StudioSettings, NoticeOpensTheConfiguredDownloadPage) {
    ProgramFolder folder(OTHER_PROGRAM);
    const size_t opened = openedAddresses().size();
    const HostRun run = folder.run("fscommand quit\n", {{L"STANDIN_FAIL", L"create"}});
    EXPECT_EQ(-1, signedCode(run.exitCode));
    EXPECT_EQ(Lines{noticeBox}, run.boxes);
    EXPECT_EQ(Lines{utf8(OTHER_DOWNLOAD_ADDRESS)}, addressesOpenedAfter(opened));
}

} // namespace
