#pragma once
// Minimal COM-style binary interface shared by the plug-in and its hosts: a GUID, the
// calling convention and the three IUnknown operations. On 32-bit Windows the layout and
// calling convention are COM's, so real COM objects can be passed through.
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define VYRA_COM __stdcall
#else
#define VYRA_COM
#endif

namespace vyra {

using ComResult = int32_t;

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
  friend bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
};

// IUnknown: identifier 00000000-0000-0000-C000-000000000046, as in COM.
inline constexpr Guid kIID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct IUnknownBase {
  virtual ComResult VYRA_COM QueryInterface(const Guid& iid, void** out) = 0;
  virtual uint32_t VYRA_COM AddRef() = 0;
  virtual uint32_t VYRA_COM Release() = 0;
};

}  // namespace vyra
