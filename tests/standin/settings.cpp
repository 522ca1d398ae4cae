#include "settings.h"

#include "log.h"

#include "base/handles.h"

namespace {

std::wstring environment(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

DWORD numberFrom(const std::wstring& text, DWORD fallback) {
    if (text.empty()) {
        return fallback;
    }
    wchar_t* end = nullptr;
    bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    unsigned long value = wcstoul(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    return end && *end == L'\0' ? static_cast<DWORD>(value) : fallback;
}

} // namespace

Settings readSettings() {
    Settings settings;
    setLogPath(environment(L"STANDIN_LOG"));
    settings.version = numberFrom(environment(L"STANDIN_VERSION"), settings.version);
    std::wstring failList = environment(L"STANDIN_FAIL") + L",";
    size_t start = 0;
    for (size_t comma = failList.find(L','); comma != std::wstring::npos;
         comma = failList.find(L',', start)) {
        std::wstring item = failList.substr(start, comma - start);
        size_t first = item.find_first_not_of(L' ');
        if (first != std::wstring::npos) {
            settings.failing.push_back(item.substr(first, item.find_last_not_of(L' ') - first + 1));
        }
        start = comma + 1;
    }
    settings.failure = static_cast<HRESULT>(numberFrom(environment(L"STANDIN_FAIL_HRESULT"), E_FAIL));
    settings.failAsException = environment(L"STANDIN_FAIL_MODE") == L"exception";
    settings.namesFromTypeLibrary = environment(L"STANDIN_NAMES") == L"typelib";
    settings.ownFilter = environment(L"STANDIN_FILTER") == L"own";
    settings.movieEvent = environment(L"STANDIN_MOVIE_EVENT");
    return settings;
}

void signalMovie(const Settings& settings) {
    if (settings.movieEvent.empty()) {
        return;
    }
    const UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, settings.movieEvent.c_str()));
    if (event) {
        SetEvent(event.get());
    }
}

void logFailure(const std::wstring& name, HRESULT result) {
    logLine(L"fail " + name + L" " + hex32(static_cast<DWORD>(result)));
}
