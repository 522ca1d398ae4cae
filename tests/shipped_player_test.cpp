// The player control a studio ships beside the program: the real program
// under Wine, with a copy of the stand-in in its folder under the configured
// name, with and without the stand-in's registration. The stand-in's first
// line names the file it was loaded from, so each case sees which copy served.
#include "base/system_library.h"
#include "bridge/flash_control.h"
#include "host/player_creation.h"
#include "host/resource_ids.h"
#include "tests/host_run.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr wchar_t standInKey[] = L"CLSID\\{D27CDB6E-AE6D-11CF-96B8-444553540000}\\InprocServer32";
constexpr wchar_t typeLibraryKey[] = L"TypeLib\\{D27CDB6B-AE6D-11CF-96B8-444553540000}";
// The stand-in answers names only from its type library, found by the
// library's GUID and version as a player built on the common COM class
// libraries finds its own.
const Environment typeLibraryNames = {{L"STANDIN_NAMES", L"typelib"}};
const std::string libraryNotRegistered = "no type library 0x8002801D";

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

// Registers the stand-in's type library for its lifetime, as a registered
// player's is, and takes it away again.
class RegisteredTypeLibrary {
  public:
    RegisteredTypeLibrary() {
        const std::wstring key =
            std::wstring(typeLibraryKey) + (sizeof(void*) == 8 ? L"\\1.0\\0\\win64" : L"\\1.0\\0\\win32");
        UniqueKey library;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            library.put(), nullptr) == ERROR_SUCCESS) {
            writeString(library.get(), nullptr, registeredStandIn());
        }
    }
    RegisteredTypeLibrary(const RegisteredTypeLibrary&) = delete;
    RegisteredTypeLibrary& operator=(const RegisteredTypeLibrary&) = delete;
    ~RegisteredTypeLibrary() { RegDeleteTreeW(HKEY_CLASSES_ROOT, typeLibraryKey); }
};

// Every key and value under `key`, by path; a value's entry holds its type
// and data.
using RegistryContent = std::map<std::wstring, std::string>;
void readRegistry(HKEY key, const std::wstring& path, RegistryContent& content) {
    content[path] = "key";
    std::vector<wchar_t> name(32768);
    std::vector<BYTE> data;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        data.resize(size);
        nameLength = static_cast<DWORD>(name.size());
        RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        content[path + L"|" + std::wstring(name.data(), nameLength)] =
            std::to_string(type) + ":" + std::string(data.begin(), data.begin() + size);
    }
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        const std::wstring subkey(name.data(), nameLength);
        UniqueKey opened;
        if (RegOpenKeyExW(key, subkey.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS) {
            readRegistry(opened.get(), path + L"\\" + subkey, content);
        }
    }
}

// The user's registry and the machine's software, where COM registers classes
// and type libraries.
RegistryContent readRegistry() {
    RegistryContent content;
    readRegistry(HKEY_CURRENT_USER, L"HKCU", content);
    UniqueKey software;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, software.put()) == ERROR_SUCCESS) {
        readRegistry(software.get(), L"HKLM\\Software", content);
    }
    return content;
}

// The paths whose entries differ between two readings.
Lines changes(const RegistryContent& before, const RegistryContent& after) {
    Lines changed;
    for (const auto& [path, data] : before) {
        const auto found = after.find(path);
        if (found == after.end() || found->second != data) {
            changed.push_back(utf8(path));
        }
    }
    for (const auto& entry : after) {
        if (!before.count(entry.first)) {
            changed.push_back(utf8(entry.first));
        }
    }
    return changed;
}

// A program folder with `file` holding a copy of the stand-in (or of `standIn`).
std::wstring placeStandIn(const ProgramFolder& folder, const std::wstring& file,
                          const std::wstring& standIn = registeredStandIn()) {
    const std::wstring path = folder.path() + L"\\" + file;
    CopyFileW(standIn.c_str(), path.c_str(), FALSE);
    return path;
}

BOOL CALLBACK firstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR first) {
    *reinterpret_cast<WORD*>(first) = language;
    return FALSE;
}

// Takes the type library out of the player manifest that the folder's copy of
// the program carries: the context made from it then finds the player's class
// only.
void leaveTypeLibraryOutOfTheContext(const ProgramFolder& folder) {
    const LPCWSTR id = MAKEINTRESOURCEW(PLAYER_MANIFEST_RESOURCE);
    std::string manifest;
    WORD language = 0;
    {
        const UniqueModule program(
            LoadLibraryExW(folder.program().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        const HRSRC found = FindResourceW(program.get(), id, RT_MANIFEST);
        ASSERT_NE(nullptr, found);
        manifest.assign(static_cast<const char*>(LockResource(LoadResource(program.get(), found))),
                        SizeofResource(program.get(), found));
        EnumResourceLanguagesW(program.get(), RT_MANIFEST, id, firstLanguage,
                               reinterpret_cast<LONG_PTR>(&language));
    }
    const size_t start = manifest.find("<typelib ");
    ASSERT_NE(std::string::npos, start);
    manifest.erase(start, manifest.find("/>", start) + 2 - start);
    const HANDLE update = BeginUpdateResourceW(folder.program().c_str(), FALSE);
    ASSERT_NE(nullptr, update);
    const bool updated = UpdateResourceW(update, RT_MANIFEST, id, language, manifest.data(),
                                         static_cast<DWORD>(manifest.size()));
    // Ends the update either way; what failed is discarded.
    ASSERT_TRUE(EndUpdateResourceW(update, !updated));
    ASSERT_TRUE(updated);
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

// Windows finds neither the class nor the type library of an unregistered
// player without a context; the program's context finds both in the file,
// and writes nothing to the registry.
TEST(ShippedPlayer, RunsOnItsOwnTypeLibraryWithoutRegistrationOrRegistryWrites) {
    ProgramFolder folder;
    const std::wstring player = placeStandIn(folder, PLAYER_FILE);
    const NoRegisteredPlayer unregistered;
    ASSERT_TRUE(unregistered.removed());
    const RegistryContent before = readRegistry();
    expectGameRan(folder.run("fscommand quit\n", typeLibraryNames), startupCalls(folder, player));
    EXPECT_EQ(Lines{}, changes(before, readRegistry()));
}

// Its names cannot be had, so it must not run half-way: the registered
// player is tried next, whose type library is not registered either.
TEST(ShippedPlayer, WithoutItsTypeLibraryInTheContextTakesTheFallbackThenTheNotice) {
    ProgramFolder folder;
    ASSERT_NO_FATAL_FAILURE(leaveTypeLibraryOutOfTheContext(folder));
    const std::wstring player = placeStandIn(folder, PLAYER_FILE);
    const HostRun run = folder.run("fscommand quit\n", typeLibraryNames);
    EXPECT_EQ(-1, signedCode(run.exitCode));
    EXPECT_EQ(Lines{noticeBox}, run.boxes);
    EXPECT_EQ(
        (Lines{created(player), libraryNotRegistered, "release", created(), libraryNotRegistered, "release"}),
        run.log);
}

// Freed after its class object was made, a player's code could be gone under
// what it had started; the stand-in logs an unload.
TEST(ShippedPlayer, StaysLoadedWhenItsClassRefusesTheControl) {
    ProgramFolder folder;
    const std::wstring player = placeStandIn(folder, PLAYER_FILE);
    const HostRun run = folder.run("fscommand quit\n", {{L"STANDIN_FAIL", L"create"}});
    EXPECT_EQ(Lines{noticeBox}, run.boxes);
    const std::string failed = "fail create 0x80040111";
    EXPECT_EQ((Lines{created(player), failed, created(), failed}), run.log);
}

// A player's own imports (winmm.dll statically, dsound.dll by name after
// its load) come from the system folder, never from beside the game.
TEST(ShippedPlayer, ItsImportsComeOnlyFromTheSystemFolder) {
    ProgramFolder folder;
    const std::wstring player = placeStandIn(folder, PLAYER_FILE, unixFilePath(WINMM_STANDIN));
    for (const wchar_t* name : {L"winmm.dll", L"dsound.dll"}) {
        ASSERT_TRUE(
            CopyFileW(unixFilePath(PLANTED_LIBRARY).c_str(), (folder.path() + L"\\" + name).c_str(), FALSE));
    }
    const NativeLibrariesFirst nativeFirst{L"winmm", L"dsound"};
    ASSERT_TRUE(nativeFirst.set());
    expectGameRan(folder.run("fscommand quit\n"), startupCalls(folder, player));
    EXPECT_EQ(Lines{}, readLines(folder.path() + L"\\planted.log"));
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
    {
        // The context made for the file is gone by then: active, it would
        // send the registered player's class and type library to the file.
        const RegisteredTypeLibrary registered;
        expectGameRan(folder.run("fscommand quit\n", typeLibraryNames), startupCalls(folder));
    }

    const NoRegisteredPlayer unregistered;
    ASSERT_TRUE(unregistered.removed());
    const size_t opened = openedAddresses().size();
    const HostRun run = folder.run("fscommand quit\n");
    EXPECT_EQ(-1, signedCode(run.exitCode));
    EXPECT_EQ(Lines{noticeBox}, run.boxes);
    EXPECT_EQ(Lines{}, run.log);
    EXPECT_EQ(Lines{utf8(DOWNLOAD_ADDRESS)}, addressesOpenedAfter(opened));
}

// Why a shipped player was passed over, as the debugger output says it: one
// line a failed step, with its error code. This test program carries no
// manifest for the player, so its activation context fails first; then the
// registered player is tried.
const std::string contextFailed = "gamehost: shipped player: activation context failed, error 0x";

Lines passedOverLines(const std::wstring& player) {
    const ComApartment com;
    const DebugOutputCapture output;
    {
        PlayerCreation creation;
        creation.createControl(player);
        flashControl.reset();
    }
    Lines lines;
    for (const std::string& line : output.lines()) {
        // The context's code is the system's to choose.
        lines.push_back(line.rfind(contextFailed, 0) == 0 ? contextFailed : line);
    }
    return lines;
}

TEST(PassedOverShippedPlayer, EachFailedStepLeavesALineWithItsCode) {
    const TempFolder folder;
    const std::wstring text = folder.file(L"text.ocx");
    writeUtf8File(text, "not a library\n");
    EXPECT_EQ((Lines{contextFailed, "gamehost: shipped player: load failed, error 0x000000C1\n"}),
              passedOverLines(text));
    const std::wstring noClass = folder.file(L"no-class.ocx");
    CopyFileW(unixFilePath(PLANTED_LIBRARY).c_str(), noClass.c_str(), FALSE);
    EXPECT_EQ((Lines{contextFailed, "gamehost: shipped player: class object failed, error 0x0000007F\n"}),
              passedOverLines(noClass));
    const std::wstring noNames = folder.file(L"no-names.ocx");
    CopyFileW(registeredStandIn().c_str(), noNames.c_str(), FALSE);
    SetEnvironmentVariableW(L"STANDIN_NAMES", L"typelib");
    SetEnvironmentVariableW(L"STANDIN_LOG", folder.file(L"standin.log").c_str());
    const Lines noNamesLines = passedOverLines(noNames);
    SetEnvironmentVariableW(L"STANDIN_NAMES", nullptr);
    SetEnvironmentVariableW(L"STANDIN_LOG", nullptr);
    EXPECT_EQ((Lines{contextFailed, "gamehost: shipped player: names failed, error 0x8002801D\n"}),
              noNamesLines);
}

// The default search leaves the program folder out but keeps the folders
// that code in the process adds on purpose, as shell extensions in the file
// dialog do.
TEST(LibrarySearch, FoldersAddedOnPurposeStayInIt) {
    const TempFolder folder;
    CopyFileW(unixFilePath(PLANTED_LIBRARY).c_str(), folder.file(L"added-on-purpose.dll").c_str(), FALSE);
    restrictLibrarySearch();
    using AddDllDirectoryFunction = void*(WINAPI*)(PCWSTR);
    const auto addDllDirectory =
        procedure<AddDllDirectoryFunction>(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory");
    ASSERT_NE(nullptr, addDllDirectory);
    ASSERT_NE(nullptr, addDllDirectory(folder.path().c_str()));
    const UniqueModule library(LoadLibraryW(L"added-on-purpose.dll"));
    EXPECT_NE(nullptr, library.get());
}

// A program built with another player file name and download page.
// Its manifest names that file too: the type library is found in it.
TEST(StudioSettings, PlayerFileNameIsTheConfiguredOne) {
    ProgramFolder folder(OTHER_PROGRAM);
    writeUtf8File(folder.path() + L"\\" + PLAYER_FILE, "not a library\n");
    const std::wstring player = placeStandIn(folder, OTHER_PLAYER_FILE);
    expectGameRan(folder.run("fscommand quit\n", typeLibraryNames), startupCalls(folder, player));
}

// A game built with another single-instance name runs while the default one
// does; a second copy of the same program still ends at once.
TEST(StudioSettings, OtherInstanceNameRunsBesideTheDefaultOne) {
    ProgramFolder first;
    PROCESS_INFORMATION running{};
    const bool started = startRunningGame(first, running);
    EXPECT_TRUE(started) << "the default program did not start its game";
    if (started) {
        ProgramFolder other(OTHER_PROGRAM);
        expectGameRan(other.run("fscommand quit\n"), startupCalls(other));
    }
    // Ends the first copy in any case: a copy left running would hold the name.
    EXPECT_EQ(1u, closeGame(first, running).exitCode);
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
