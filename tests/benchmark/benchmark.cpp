// Speed and memory of the commands that move the most text, each measured
// against a baseline taken in the same run: the command goes through the real
// path (the FlashCall event into the sink, the command table, the handler and
// the reply handed to the control), the baseline does the bare work the
// command cannot avoid. Each figure is the median ratio over the repetitions,
// baseline and command measured one after the other in every repetition.
//
//   benchmark.exe [REPETITIONS]     7 when not given
//
// Exit code 0 when every figure is within its bound, 1 when one misses, 2 when
// a reply is wrong or the set-up fails.
#include "bridge/codec.h"
#include "bridge/event_sink.h"
#include "display/display_modes.h"
#include "base/handles.h"
#include "tests/standin_session.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Bytes held through operator new and in BSTRs, now and at the most since the
// last reset.
std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

void resetPeak() {
    peakBytes = liveBytes.load();
}

void hold(size_t size) noexcept {
    const size_t live = liveBytes += size;
    size_t peak = peakBytes.load();
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
}

// Every block carries its size in front, padded to keep the alignment new promises.
constexpr size_t blockHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t)
                                                                          : sizeof(size_t);

void* allocate(size_t size) noexcept {
    auto* block = static_cast<unsigned char*>(std::malloc(size + blockHeader));
    if (!block) {
        return nullptr;
    }
    *reinterpret_cast<size_t*>(block) = size;
    hold(size);
    return block + blockHeader;
}

void release(void* pointer) noexcept {
    if (!pointer) {
        return;
    }
    // Integer arithmetic: the compiler cannot tell this block from the object inside it.
    auto* block = reinterpret_cast<unsigned char*>(reinterpret_cast<uintptr_t>(pointer) - blockHeader);
    liveBytes -= *reinterpret_cast<size_t*>(block);
    std::free(block);
}

// A BSTR holds its characters, its length prefix and its terminator.
size_t bstrBytes(BSTR text) {
    return text ? SysStringByteLen(text) + sizeof(DWORD) + sizeof(OLECHAR) : 0;
}

// The program's BSTR calls go through this program's import table; these
// stand in for them there and count what each BSTR holds.
decltype(&SysAllocString) systemAllocString;
decltype(&SysAllocStringLen) systemAllocStringLen;
decltype(&SysReAllocStringLen) systemReAllocStringLen;
decltype(&SysFreeString) systemFreeString;

BSTR WINAPI countedAllocString(const OLECHAR* text) {
    const BSTR made = systemAllocString(text);
    hold(bstrBytes(made));
    return made;
}

BSTR WINAPI countedAllocStringLen(const OLECHAR* text, UINT length) {
    const BSTR made = systemAllocStringLen(text, length);
    hold(bstrBytes(made));
    return made;
}

// The new string is made before the old one is freed.
INT WINAPI countedReAllocStringLen(BSTR* text, const OLECHAR* from, UINT length) {
    const size_t old = bstrBytes(*text);
    hold(static_cast<size_t>(length) * sizeof(OLECHAR) + sizeof(DWORD) + sizeof(OLECHAR));
    const INT done = systemReAllocStringLen(text, from, length);
    liveBytes -= done ? old : static_cast<size_t>(length) * sizeof(OLECHAR) + sizeof(DWORD) + sizeof(OLECHAR);
    return done;
}

void WINAPI countedFreeString(BSTR text) {
    liveBytes -= bstrBytes(text);
    systemFreeString(text);
}

// Points this program's import of `name` from oleaut32 at `replacement`;
// false when the program does not import it by name.
template <typename Function> bool redirectImport(const char* name, Function replacement, Function& original) {
    auto* const base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* const nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name; ++dll) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + dll->Name), "oleaut32.dll") != 0) {
            continue;
        }
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), name) != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            original = reinterpret_cast<Function>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return true;
        }
    }
    return false;
}

bool countBstrs() {
    return redirectImport("SysAllocString", &countedAllocString, systemAllocString) &&
           redirectImport("SysAllocStringLen", &countedAllocStringLen, systemAllocStringLen) &&
           redirectImport("SysReAllocStringLen", &countedReAllocStringLen, systemReAllocStringLen) &&
           redirectImport("SysFreeString", &countedFreeString, systemFreeString);
}

} // namespace

void* operator new(size_t size) {
    if (void* pointer = allocate(size)) {
        return pointer;
    }
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* pointer) noexcept {
    release(pointer);
}
void operator delete[](void* pointer) noexcept {
    release(pointer);
}
void operator delete(void* pointer, size_t) noexcept {
    release(pointer);
}
void operator delete[](void* pointer, size_t) noexcept {
    release(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
    release(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
    release(pointer);
}

namespace {

using std::wstring;

constexpr DISPID dispidSetReturnValue = 1;

// The part of the player control that replies go to. It keeps the reply's
// length, its first and last characters and, when asked, the whole reply.
class RecordingControl final : public IDispatch {
  public:
    bool keepWhole = false;
    size_t replies = 0;
    size_t length = 0;
    wstring head;
    wstring tail;
    wstring whole;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *object = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (count != 1 || !names || !ids) {
            return E_INVALIDARG;
        }
        // Names are matched without case, as IDispatch asks, but ordinally: a
        // locale's collation (lstrcmpW) costs more under Wine than the host's
        // own part of a round trip, and is the control's cost, not the host's.
        if (CompareStringOrdinal(names[0], -1, L"SetReturnValue", -1, TRUE) != CSTR_EQUAL) {
            ids[0] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        ids[0] = dispidSetReturnValue;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        try {
            if (id != dispidSetReturnValue || !parameters || parameters->cArgs != 1 ||
                parameters->rgvarg[0].vt != VT_BSTR) {
                return DISP_E_MEMBERNOTFOUND;
            }
            const BSTR reply = parameters->rgvarg[0].bstrVal;
            length = SysStringLen(reply);
            const size_t shown = std::min<size_t>(length, 64);
            head.assign(reply, shown);
            tail.assign(reply + length - shown, shown);
            if (keepWhole) {
                whole.assign(reply, length);
            }
            ++replies;
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
};

// The movie's call, raised on the sink the way the control raises it.
void raiseFlashCall(FlashEventListener& sink, const wstring& request) {
    UniqueBstr text(SysAllocStringLen(request.data(), static_cast<UINT>(request.size())));
    VARIANT argument;
    argument.vt = VT_BSTR;
    argument.bstrVal = text.get();
    DISPPARAMS parameters = {&argument, nullptr, 1, 0};
    sink.Invoke(dispidFlashCall, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr,
                nullptr, nullptr);
}

wstring flashCallRequest(const wstring& name, const wstring& arguments) {
    return L"<invoke name=\"" + name + L"\" returntype=\"xml\"><arguments>" + arguments +
           L"</arguments></invoke>";
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

void require(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

double seconds() {
    static const double frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

double timed(const std::function<void()>& work) {
    const double start = seconds();
    work();
    return seconds() - start;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool allWithin = true;

void report(const char* figure, double value, double bound, const char* detail) {
    const bool within = value <= bound;
    allWithin = allWithin && within;
    std::printf("%-44s %8.2f  (bound %5.2f)  %s  %s\n", figure, value, bound, within ? "PASS" : "MISS",
                detail);
    std::fflush(stdout);
}

// Runs baseline and command in turn, each measured on its own, `calls` times a
// round and `rounds` rounds a repetition. A round's ratio is its command time
// over its baseline time, a repetition's the median of its rounds', and the
// figure the median over the repetitions. Alternating call by call, both
// sides meet the same state of the machine: under Wine a system call made
// right after another is answered faster than one made after any other work,
// so a baseline of back-to-back calls would be timed in a state no command
// can ever meet. Rounds keep a burst of load on the machine from deciding a
// figure.
// `baseline` and `command` answer the seconds they measured.
void compareMeasured(const char* figure, int repetitions, double bound,
                     const std::function<double()>& baseline, const std::function<double()>& command,
                     int rounds, int calls = 1) {
    std::vector<double> ratios;
    std::vector<double> baseTimes;
    std::vector<double> commandTimes;
    for (int i = 0; i < repetitions; ++i) {
        double base = 0;
        double run = 0;
        std::vector<double> roundRatios;
        for (int round = 0; round < rounds; ++round) {
            double roundBase = 0;
            double roundRun = 0;
            for (int call = 0; call < calls; ++call) {
                roundBase += baseline();
                roundRun += command();
            }
            roundRatios.push_back(roundRun / roundBase);
            base += roundBase;
            run += roundRun;
        }
        baseTimes.push_back(base);
        commandTimes.push_back(run);
        ratios.push_back(median(roundRatios));
    }
    char detail[128];
    std::snprintf(detail, sizeof detail, "median %.3f ms against %.3f ms a repetition",
                  median(commandTimes) * 1e3, median(baseTimes) * 1e3);
    report(figure, median(ratios), bound, detail);
}

void compare(const char* figure, int repetitions, double bound, const std::function<void()>& baseline,
             const std::function<void()>& command, int rounds, int calls = 1) {
    compareMeasured(
        figure, repetitions, bound, [&] { return timed(baseline); }, [&] { return timed(command); }, rounds,
        calls);
}

// Each repetition of a command that is timed one call at a time.
constexpr int wholeCommandRounds = 3;

wstring temporaryFolder() {
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    require(length > 0 && length <= MAX_PATH, "no temporary folder");
    wstring folder(path, length);
    if (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    folder += L"\\gamehost-benchmark";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void writeFile(const wstring& path, const std::string& bytes) {
    UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    require(static_cast<bool>(file), "cannot create a test file");
    DWORD written = 0;
    require(bytes.empty() ||
                (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                 written == bytes.size()),
            "cannot write a test file");
}

// 64 MiB of ASCII lines, a few of which hold the characters a reply escapes.
std::string asciiText() {
    constexpr size_t size = 64u << 20;
    std::string text;
    text.reserve(size + 128);
    for (unsigned line = 0; text.size() < size; ++line) {
        char buffer[128];
        const int length =
            std::snprintf(buffer, sizeof buffer,
                          line % 64 ? "line %07u: the quick brown fox jumps over the lazy dog\r\n"
                                    : "line %07u: a < b && b > c\r\n",
                          line);
        text.append(buffer, static_cast<size_t>(length));
    }
    text.resize(size);
    return text;
}

// What getFileContent must reply for `bytes`, built the slow, obvious way.
wstring expectedContentReply(const std::string& bytes) {
    wstring text;
    for (const char byte : bytes) {
        text += static_cast<wchar_t>(static_cast<unsigned char>(byte));
    }
    return encodeString(text);
}

std::vector<char> bareRead(const wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    require(static_cast<bool>(file), "cannot open the test file");
    LARGE_INTEGER size = {};
    GetFileSizeEx(file.get(), &size);
    std::vector<char> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    require(ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                read == bytes.size(),
            "cannot read the test file");
    return bytes;
}

// Memory is counted as the C++ allocations and BSTRs live at their peak.
void fileContent(FlashEventListener& sink, RecordingControl& control, const wstring& folder,
                 int repetitions) {
    const wstring path = folder + L"\\content.txt";
    const std::string bytes = asciiText();
    writeFile(path, bytes);
    const wstring request = flashCallRequest(L"getFileContent", L"<string>" + path + L"</string>");
    const size_t textBytes = bytes.size() * sizeof(wchar_t);

    resetPeak();
    const size_t heldBefore = liveBytes.load();
    raiseFlashCall(sink, request);
    const size_t heldPeak = peakBytes.load() - heldBefore;
    require(control.replies == 1, "getFileContent gave no reply");

    char detail[160];
    std::snprintf(detail, sizeof detail, "peak %.1f MiB for %.1f MiB of UTF-16 text", heldPeak / 1048576.0,
                  textBytes / 1048576.0);
    report("getFileContent 64 MiB: extra memory / text", static_cast<double>(heldPeak) / textBytes, 1.05,
           detail);

    control.keepWhole = true;
    raiseFlashCall(sink, request);
    control.keepWhole = false;
    require(control.whole == expectedContentReply(bytes), "getFileContent replied the wrong text");
    control.whole = wstring();

    const wstring head = control.head;
    const wstring tail = control.tail;
    const size_t length = control.length;
    // The reply is UTF-16, twice the file's bytes, in memory touched for the
    // first time: filling that alone takes about as long as the whole reply
    // (both reads, the count and the widening add a few per cent), and about
    // twice the bare read, whose buffer is half as large. So this design sits
    // near 2 wherever first touches dominate; the bound leaves room above the
    // 1.98 to 2.07 measured on the 32-bit program.
    compare(
        "getFileContent 64 MiB / bare read", repetitions, 2.5,
        [&] { require(bareRead(path).size() == bytes.size(), "short read"); },
        [&] {
            control.length = 0;
            raiseFlashCall(sink, request);
            require(control.length == length && control.head == head && control.tail == tail,
                    "getFileContent replied differently");
        },
        wholeCommandRounds);
    DeleteFileW(path.c_str());
}

void replaceAllOnEntities(int repetitions) {
    constexpr size_t characters = 8u << 20;
    wstring text;
    text.reserve(characters);
    while (text.size() + 5 <= characters) {
        text += L"&amp;";
    }
    const wstring expected(text.size() / 5, L'&');
    // The baseline's copy is the text the command then works on.
    wstring copy;
    compare(
        "replaceAll 8 Mi chars of &amp; / copy", repetitions, 10.0,
        [&] {
            copy = wstring();
            copy = text;
        },
        [&] {
            replaceAll(copy, L"&amp;", L"&");
            require(copy == expected, "replaceAll gave the wrong text");
        },
        1);
}

constexpr unsigned folderFiles = 20000;

size_t bareFind(const wstring& pattern) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(pattern.c_str(), &entry));
    require(static_cast<bool>(find), "cannot list the test folder");
    size_t names = 0;
    do {
        names += entry.cFileName[0] != L'\0';
    } while (FindNextFileW(find.get(), &entry));
    return names;
}

void fileSearch(FlashEventListener& sink, RecordingControl& control, const wstring& folder, int repetitions) {
    const wstring files = folder + L"\\files";
    const wstring pattern = files + L"\\*";
    CreateDirectoryW(files.c_str(), nullptr);
    // Made once; later runs find them in place.
    if (bareFind(pattern) != folderFiles + 2) {
        for (unsigned i = 0; i < folderFiles; ++i) {
            wchar_t name[32];
            std::swprintf(name, 32, L"\\track %05u.mp3", i);
            writeFile(files + name, std::string());
        }
    }
    require(bareFind(pattern) == folderFiles + 2, "the test folder does not hold its files");
    const wstring request = flashCallRequest(L"findFiles", L"<string>" + pattern + L"</string>");

    control.keepWhole = true;
    raiseFlashCall(sink, request);
    control.keepWhole = false;
    size_t items = 0;
    for (size_t at = control.whole.find(L"<property id='"); at != wstring::npos;
         at = control.whole.find(L"<property id='", at + 1)) {
        ++items;
    }
    require(items == folderFiles && control.whole.find(L"<string>track 00000.mp3</string>") != wstring::npos,
            "findFiles replied the wrong list");
    const size_t length = control.length;
    compare(
        "findFiles 20000 files / bare find loop", repetitions, 1.2, [&] { bareFind(pattern); },
        [&] {
            control.length = 0;
            raiseFlashCall(sink, request);
            require(control.length == length, "findFiles replied differently");
        },
        wholeCommandRounds);
}

void screenResolution(FlashEventListener& sink, RecordingControl& control, int repetitions) {
    // 2000 calls a repetition, in rounds of 100.
    constexpr int rounds = 20;
    constexpr int callsPerRound = 100;
    const wstring request = flashCallRequest(L"getScreenResolution", L"");
    const DesktopSize size = getDesktopResolution();
    control.keepWhole = true;
    raiseFlashCall(sink, request);
    control.keepWhole = false;
    require(size.width > 0 && control.whole == encodeSizeObject(static_cast<int32_t>(size.width),
                                                                static_cast<int32_t>(size.height)),
            "getScreenResolution replied the wrong size");
    const size_t length = control.length;
    volatile uint32_t sink32 = 0;
    compare(
        "getScreenResolution round trip / query", repetitions, 1.05,
        [&] { sink32 = sink32 + getDesktopResolution().width; },
        [&] {
            control.length = 0;
            raiseFlashCall(sink, request);
            require(control.length == length, "getScreenResolution replied differently");
        },
        rounds, callsPerRound);
}

// The processes `parent` started that still run.
std::vector<UniqueHandle> childrenOf(DWORD parent) {
    std::vector<UniqueHandle> children;
    const UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == parent) {
            children.emplace_back(OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
        }
    }
    return children;
}

// Seconds from CreateProcessW to the stand-in's `movie` event, set when the
// program puts the movie. The movie quits at once; the next start waits
// until this copy and what it started have ended, so that neither the
// single instance's name nor a watcher's end falls into it.
double startUntilMovie(const wstring& folder, HANDLE movie) {
    const wstring program = folder + L"\\gamehost.exe";
    wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    ResetEvent(movie);
    const double start = seconds();
    require(CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           folder.c_str(), &startup, &started),
            "cannot start the program");
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    require(WaitForSingleObject(movie, 60000) == WAIT_OBJECT_0, "the program put no movie");
    const double elapsed = seconds() - start;
    const std::vector<UniqueHandle> children = childrenOf(started.dwProcessId);
    require(WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0, "the program did not end");
    for (const UniqueHandle& child : children) {
        WaitForSingleObject(child.get(), 60000);
    }
    return elapsed;
}

// The program as a player starts it, with its crash watcher, against the
// same program built without one, each from a folder of its own.
void startUp(const wstring& folder, int repetitions) {
    const wstring with = folder + L"\\with-watcher";
    const wstring without = folder + L"\\without-watcher";
    for (const auto& [copy, built] :
         {std::pair{with, wstring(GAMEHOST_EXE)}, std::pair{without, wstring(NO_WATCHER_PROGRAM)}}) {
        CreateDirectoryW(copy.c_str(), nullptr);
        require(CopyFileW(unixFilePath(built).c_str(), (copy + L"\\gamehost.exe").c_str(), FALSE),
                "cannot copy the program");
        writeFile(copy + L"\\game.swf", "fscommand quit\n");
    }
    const wstring eventName = L"gamehost-benchmark-movie-" + std::to_wstring(GetCurrentProcessId());
    const UniqueHandle movie(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    require(static_cast<bool>(movie), "cannot make the movie's event");
    SetEnvironmentVariableW(L"STANDIN_MOVIE_EVENT", eventName.c_str());
    SetEnvironmentVariableW(L"STANDIN_LOG", (folder + L"\\standin.log").c_str());
    compareMeasured(
        "start-up to the movie, watcher / none", repetitions, 1.15,
        [&] { return startUntilMovie(without, movie.get()); },
        [&] { return startUntilMovie(with, movie.get()); }, wholeCommandRounds);
    SetEnvironmentVariableW(L"STANDIN_MOVIE_EVENT", nullptr);
    SetEnvironmentVariableW(L"STANDIN_LOG", nullptr);
}

int run(int repetitions) {
    require(countBstrs(), "cannot count the program's BSTRs");
    RecordingControl control;
    FlashEventListener sink;
    sink.setControl(&control);
    const wstring folder = temporaryFolder();
    std::printf("%d repetitions; each figure is the median of command time / baseline time\n", repetitions);
    fileContent(sink, control, folder, repetitions);
    replaceAllOnEntities(repetitions);
    fileSearch(sink, control, folder, repetitions);
    screenResolution(sink, control, repetitions);
    startUp(folder, repetitions);
    std::printf("%s\n", allWithin ? "all figures within their bounds" : "some figures miss their bounds");
    return allWithin ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 7;
    if (repetitions < 1) {
        std::fprintf(stderr, "usage: benchmark [REPETITIONS]\n");
        return 2;
    }
    try {
        return run(repetitions);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark: %s\n", error.what());
        return 2;
    }
}
