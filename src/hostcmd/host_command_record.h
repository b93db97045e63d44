#pragma once
#include <cstdint>

#include "vyra/abi_sizes.h"

namespace vyra {

// The host's record for DeviceCommand: six 32-bit words on the 32-bit host; 64-bit builds
// keep the field order with native pointers.
struct HostCommandRecord {
  char* text;          // host buffer for a text answer
  uint32_t textSize;   // its size in bytes, NUL included
  int32_t reserved0;
  int32_t argument;    // channel number (from 1) or sample period in microseconds
  int32_t reserved1;
  int32_t value;       // numeric answer
};
static_assert(sizeof(HostCommandRecord) == abi::kHostCommandRecordSize, "host record layout");

}  // namespace vyra
