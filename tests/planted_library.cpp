// A library planted beside the program under the name of a system library:
// if anything loads it, it notes so in planted.log, in its own folder.
#include "base/handles.h"

#include <string>

namespace {

void noteLoaded(HINSTANCE instance) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    const std::wstring file(path, length);
    const std::wstring log = file.substr(0, file.rfind(L'\\') + 1) + L"planted.log";
    const UniqueFile out(CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::wstring name = file.substr(file.rfind(L'\\') + 1);
    const std::string line = "loaded " + std::string(name.begin(), name.end()) + "\n";
    DWORD written = 0;
    WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    try {
        if (reason == DLL_PROCESS_ATTACH) {
            noteLoaded(instance);
        }
    } catch (...) {
        // Nothing may unwind into the loader.
    }
    return TRUE;
}
