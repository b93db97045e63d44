#include "framework/log.h"

#include <iomanip>
#include <mutex>
#include <new>

#include "framework/log_internal.h"
#include "support/ostring_stream.h"

namespace vyra {

std::recursive_mutex& LogLock() noexcept {
  // Never destroyed: entries written by other objects' destructors at unload stay safe.
  alignas(std::recursive_mutex) static unsigned char storage[sizeof(std::recursive_mutex)];
  static std::recursive_mutex* lock = new (storage) std::recursive_mutex;
  return *lock;
}

BVL::String ComposeLogEntry(uint32_t clockMs, std::string_view label, std::u16string_view text) {
  BVL::OStringStream entry;
  entry << std::setw(7) << clockMs / 1000.0 << ": " << label << text << std::ends;
  return entry.str();
}

void LogEntry(std::string_view label, std::u16string_view text) noexcept {
  try {
    BVL::String entry = ComposeLogEntry(LogClock(), label, text);
    WriteLogEntry(entry.c_str());
  } catch (...) {
  }
}

void LogEntry(std::string_view label, std::string_view text) noexcept {
  try {
    BVL::OStringStream wide;
    wide << text;
    LogEntry(label, wide.View());
  } catch (...) {
  }
}

void LogEntry(std::string_view label, const BVL::String& text) noexcept { LogEntry(label, text.View()); }

void LogEntry(std::string_view label, const char16_t* text) noexcept {
  LogEntry(label, text ? std::u16string_view(text) : std::u16string_view());
}

}  // namespace vyra
