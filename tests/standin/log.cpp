#include "log.h"

#include "base/handles.h"

#include <cstdio>

namespace {

std::wstring logPath = L"standin.log";
int eventDepth = 0;

// A line break inside a logged text must not start a new entry.
std::wstring escapeBreaks(const std::wstring& text) {
    std::wstring escaped;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
            continue;
        }
        if (text[i] == L'\n') {
            escaped += L"\\n";
        } else if (text[i] == L'\r') {
            escaped += L"\\r";
        } else {
            escaped += text[i];
        }
    }
    return escaped;
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

} // namespace

void setLogPath(const std::wstring& path) {
    logPath = path.empty() ? L"standin.log" : path;
}

void logLine(const std::wstring& text) {
    std::string line =
        toUtf8(std::wstring(static_cast<size_t>(eventDepth) * 2, L' ') + escapeBreaks(text)) + "\n";
    const UniqueFile file(CreateFileW(logPath.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return;
    }
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    FlushFileBuffers(file.get());
}

EventScope::EventScope() {
    ++eventDepth;
}

EventScope::~EventScope() {
    --eventDepth;
}

bool eventInFlight() {
    return eventDepth > 0;
}

std::wstring hex32(unsigned long value) {
    wchar_t text[16];
    swprintf(text, ARRAYSIZE(text), L"0x%08lX", value);
    return text;
}

std::wstring abridged(const std::wstring& text) {
    constexpr size_t longest = 1000;
    constexpr size_t shown = 100;
    if (text.size() <= longest) {
        return text;
    }
    return text.substr(0, shown) + L"... (" + std::to_wstring(text.size()) + L" characters)";
}
