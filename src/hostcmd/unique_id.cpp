#include "hostcmd/unique_id.h"

#include <cstdlib>

#include "hostcmd/host_commands.h"

namespace vyra {

uint32_t HashDevicePath(std::u16string_view path) noexcept {
  uint32_t h = 0x811C9DC5u;
  for (char16_t unit : path) {
    h = (h ^ static_cast<uint8_t>(unit & 0xFF)) * 0x01000193u;
    h = (h ^ static_cast<uint8_t>(unit >> 8)) * 0x01000193u;
  }
  return h;
}

int32_t ReversedLastDigits(uint32_t h) noexcept {
  if (h < 10) return -1;
  // Zero-padding to five digits and reversing is the same as reading the lowest five
  // digits from the least significant one.
  int32_t result = 0;
  for (int i = 0; i < 5; ++i) {
    result = result * 10 + static_cast<int32_t>(h % 10);
    h /= 10;
  }
  return result;
}

bool UniqueId(const DuraSerial& device, int32_t* out) {
  // Drawn on every call, as the host has always seen the generator advance.
  const int32_t fallback = 89999 + std::rand() % 10000;
  if (!out) return true;
  *out = fallback;
  if (device.devicePath.empty()) return true;
  const int32_t id = ReversedLastDigits(HashDevicePath(device.devicePath));
  if (id >= 0) *out = id;
  return true;
}

}  // namespace vyra
