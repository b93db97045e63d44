// ParseNumber against the classic-locale stream extraction it stands in for: the same float,
// bit for bit, for every text; the wide reading of ASCII text agrees with the narrow one.
#include <cstring>
#include <string>

#include "protocol/fields.h"

namespace {
uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const float fast = vyra::ParseNumber(text);
  const float reference = vyra::ParseNumberReference(text);
  if (Bits(fast) != Bits(reference)) __builtin_trap();

  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
  if (ascii) {
    std::u16string wide(text.begin(), text.end());
    if (Bits(vyra::ParseNumberWide(wide)) != Bits(fast)) __builtin_trap();
  }
  return 0;
}
