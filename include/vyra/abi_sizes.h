#pragma once
// Record sizes that follow the process's pointer width, stated once for the plug-in, its test
// host and the system-library doubles. The shipped module is 32-bit; the 64-bit figures serve
// the Windows build that runs where a kernel runs no 32-bit code.
#include <cstddef>
#include <cstdint>

namespace vyra::abi {

inline constexpr bool kWide = sizeof(void*) == 8;

// SetupAPI's cbSize values: SP_DEVICE_INTERFACE_DATA, the fixed part of
// SP_DEVICE_INTERFACE_DETAIL_DATA_W (packed to 1 on 32-bit, 8 on 64-bit), SP_DEVINFO_DATA.
inline constexpr uint32_t kSetupInterfaceDataSize = kWide ? 32 : 28;
inline constexpr uint32_t kSetupInterfaceDetailSize = kWide ? 8 : 6;
inline constexpr uint32_t kSetupDevInfoDataSize = kWide ? 32 : 28;

// The host's DeviceCommand record: a text pointer and five 32-bit words.
inline constexpr size_t kHostCommandRecordSize = kWide ? 32 : 24;

// A string object: interface pointer, narrow-copy pointer, then four 32-bit words (narrow
// valid, references, capacity, length); the text follows directly.
inline constexpr size_t kStringTextOffset = 2 * sizeof(void*) + 4 * sizeof(int32_t);
inline constexpr size_t kStringLengthOffset = kStringTextOffset - sizeof(int32_t);

}  // namespace vyra::abi
