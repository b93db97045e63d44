#pragma once
// The device's unique identifier: a five-digit number derived from its device path.
#include <cstdint>
#include <string_view>

namespace vyra {

// 32-bit FNV-1a over the UTF-16 code units, low byte first, no terminator.
uint32_t HashDevicePath(std::u16string_view path) noexcept;
// The last five decimal digits of h read in reverse order (0..99999); -1 when h < 10.
int32_t ReversedLastDigits(uint32_t h) noexcept;

}  // namespace vyra
