#include <windows.h>
#include <oleauto.h>

#include <cstddef>

#include "platform/bstr.h"

namespace vyra::plat {

static_assert(sizeof(Variant) == sizeof(VARIANT));
static_assert(offsetof(Variant, bstrVal) == offsetof(VARIANT, bstrVal));
static_assert(sizeof(OLECHAR) == sizeof(char16_t));
static_assert(kVtBstr == VT_BSTR && kVariantTrue == VARIANT_TRUE);

Bstr AllocBstr(const char16_t* text, uint32_t units) noexcept {
  return reinterpret_cast<Bstr>(::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text), units));
}

void FreeBstr(Bstr bstr) noexcept { ::SysFreeString(reinterpret_cast<BSTR>(bstr)); }

uint32_t BstrLen(Bstr bstr) noexcept { return ::SysStringLen(reinterpret_cast<BSTR>(bstr)); }

void InitVariant(Variant* v) noexcept {
  if (v) ::VariantInit(reinterpret_cast<VARIANT*>(v));
}

void ClearVariant(Variant* v) noexcept {
  if (v) ::VariantClear(reinterpret_cast<VARIANT*>(v));
}

}  // namespace vyra::plat
