// Provisional: entries are dropped until the host framework log is reached.
#include <windows.h>

#include <cstdio>
#include <string>

#include "framework/log.h"

namespace vyra {

void WriteLogEntry(const char16_t*) noexcept {}

uint32_t LogClock() noexcept {
  static const DWORD start = GetTickCount();
  return GetTickCount() - start;
}

void LogEntry(std::string_view, std::u16string_view) noexcept {}
void LogEntry(std::string_view, std::string_view) noexcept {}
void LogEntry(std::string_view, const BVL::String&) noexcept {}

}  // namespace vyra
