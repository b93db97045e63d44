#pragma once
// The diagnostic log. Every entry has one form: the log clock in seconds right-aligned in
// width 7, ": ", the label, the text. Logging never throws and never blocks for long.
#include <cstdint>
#include <string_view>

#include "support/bvl_string.h"

namespace vyra {

// Hands one finished entry to the log sink (the host framework's log object on Windows,
// the VYRA_LOG sink on POSIX). Dropped when there is no sink.
void WriteLogEntry(const char16_t* text) noexcept;

// Milliseconds since the log clock started; the first call starts it.
uint32_t LogClock() noexcept;

// Composes an entry in the one entry form and writes it. Narrow parts are ANSI text.
void LogEntry(std::string_view label, std::string_view text) noexcept;
void LogEntry(std::string_view label, const BVL::String& text) noexcept;
void LogEntry(std::string_view label, std::u16string_view text) noexcept;
void LogEntry(std::string_view label, const char16_t* text) noexcept;

}  // namespace vyra
