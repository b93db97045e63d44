#pragma once
// BSTR and VARIANT as the string interface hands them across modules.
// Win32: OleAut32's own allocator and layout, so a host can free what we hand it.
// POSIX: the same shape: a 32-bit byte count just before the text, and a terminator.
#include <cstddef>
#include <cstdint>

namespace vyra::plat {

using Bstr = char16_t*;              // OLECHAR* on Windows (wchar_t is 16 bits there)
using VariantBool = int16_t;         // VARIANT_BOOL
inline constexpr VariantBool kVariantTrue = -1;
inline constexpr VariantBool kVariantFalse = 0;

inline constexpr uint16_t kVtEmpty = 0;
inline constexpr uint16_t kVtBstr = 8;

// VARIANT: the type tag, three reserved words and a union as wide as two pointers or 8 bytes,
// so it is 16 bytes on 32-bit and 24 bytes on 64-bit builds, as in OleAut32.
struct Variant {
  uint16_t vt;
  uint16_t reserved1;
  uint16_t reserved2;
  uint16_t reserved3;
  union {
    Bstr bstrVal;
    int32_t lVal;
    int64_t llVal;
    double dblVal;
    void* byref;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } record;
  };
};
static_assert(sizeof(Variant) == (sizeof(void*) == 4 ? 16 : 24));
static_assert(offsetof(Variant, bstrVal) == 8);

// A new BSTR holding `units` units of `text` (zeroes when text is null) and a terminator;
// null when out of memory.
Bstr AllocBstr(const char16_t* text, uint32_t units) noexcept;
void FreeBstr(Bstr bstr) noexcept;          // null is fine
uint32_t BstrLen(Bstr bstr) noexcept;       // units; 0 for null

void InitVariant(Variant* v) noexcept;
void ClearVariant(Variant* v) noexcept;     // frees a held BSTR and leaves vt = kVtEmpty

}  // namespace vyra::plat
