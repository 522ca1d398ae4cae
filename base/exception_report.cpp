#include "base/exception_report.h"

#include <windows.h>

#include <comdef.h>

#include <cwchar>
#include <exception>
#include <iterator>

void reportCaughtException(const wchar_t* where) noexcept {
    wchar_t line[512];
    try {
        throw;
    } catch (const _com_error& error) {
        std::swprintf(line, std::size(line), L"gamehost: %ls caught a COM error 0x%08lX\n", where,
                      static_cast<unsigned long>(error.Error()));
    } catch (const std::exception& error) {
        wchar_t message[256] = {};
        MultiByteToWideChar(CP_ACP, 0, error.what(), -1, message, static_cast<int>(std::size(message)) - 1);
        std::swprintf(line, std::size(line), L"gamehost: %ls caught an exception: %ls\n", where, message);
    } catch (...) {
        std::swprintf(line, std::size(line), L"gamehost: %ls caught an unknown exception\n", where);
    }
    OutputDebugStringW(line);
}
