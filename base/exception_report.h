#pragma once
// A trace of every exception that ends at a place where Windows or COM calls
// into the program: the exception stops there, but a developer watching the
// debugger output still learns where and what.

// Call only inside a catch handler. Writes one line, naming `where` and, for
// a COM error or a standard exception, its code or message.
void reportCaughtException(const wchar_t* where) noexcept;
