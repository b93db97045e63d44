#pragma once
// Shared by the log's portable part and its backends.
#include <cstdint>
#include <mutex>
#include <string_view>

#include "support/bvl_string.h"

namespace vyra {

// The process-wide log lock around every hand-over to the log sink.
std::recursive_mutex& LogLock() noexcept;

// One entry in the entry form: the clock in seconds right-aligned in width 7 (default
// floating-point format, six significant digits), ": ", label, text.
BVL::String ComposeLogEntry(uint32_t clockMs, std::string_view label, std::u16string_view text);

#if !defined(_WIN32)
// What the descriptor takes within a few milliseconds; the rest is dropped (POSIX).
void WriteWithoutStalling(int fd, std::string_view bytes) noexcept;
#endif

}  // namespace vyra
