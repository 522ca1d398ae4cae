#pragma once
// The stand-in's log: one UTF-8 line per entry, appended and flushed at once
// so that a crash loses nothing. Lines written while one of the stand-in's
// events is in flight are indented two blanks per nesting level.

#include <string>

void setLogPath(const std::wstring& path);
void logLine(const std::wstring& text);
// 0x and eight upper-case hex digits, as HRESULTs and styles are logged.
std::wstring hex32(unsigned long value);
// A request or reply as logged: whole up to 1000 characters; a longer one
// as its first 100 and its length, so that a huge one keeps the log small.
std::wstring abridged(const std::wstring& text);

// Marks an event in flight for as long as it lives.
class EventScope {
  public:
    EventScope();
    ~EventScope();
    EventScope(const EventScope&) = delete;
    EventScope& operator=(const EventScope&) = delete;
};

bool eventInFlight();
