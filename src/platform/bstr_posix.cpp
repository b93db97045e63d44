#include <cstdlib>
#include <cstring>

#include "platform/bstr.h"

namespace vyra::plat {

namespace {
constexpr size_t kPrefix = sizeof(uint32_t);
}

Bstr AllocBstr(const char16_t* text, uint32_t units) noexcept {
  // The byte count is 32-bit, as on Windows.
  if (units > (UINT32_MAX - kPrefix - sizeof(char16_t)) / sizeof(char16_t)) return nullptr;
  size_t bytes = static_cast<size_t>(units) * sizeof(char16_t);
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(char16_t)));
  if (!block) return nullptr;
  uint32_t byteCount = static_cast<uint32_t>(bytes);
  std::memcpy(block, &byteCount, kPrefix);
  auto* out = reinterpret_cast<char16_t*>(block + kPrefix);
  if (text)
    std::memcpy(out, text, bytes);
  else
    std::memset(out, 0, bytes);
  out[units] = 0;
  return out;
}

void FreeBstr(Bstr bstr) noexcept {
  if (bstr) std::free(reinterpret_cast<unsigned char*>(bstr) - kPrefix);
}

uint32_t BstrLen(Bstr bstr) noexcept {
  if (!bstr) return 0;
  uint32_t byteCount;
  std::memcpy(&byteCount, reinterpret_cast<unsigned char*>(bstr) - kPrefix, kPrefix);
  return byteCount / sizeof(char16_t);
}

void InitVariant(Variant* v) noexcept {
  if (v) std::memset(v, 0, sizeof *v);
}

void ClearVariant(Variant* v) noexcept {
  if (!v) return;
  if (v->vt == kVtBstr) FreeBstr(v->bstrVal);
  std::memset(v, 0, sizeof *v);
}

}  // namespace vyra::plat
