#pragma once
// The SetupAPI steps of the interface walk, written against a small call table so the same
// size protocols run over the real library and over test doubles.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vyra::discovery {

inline constexpr uint32_t kErrorInsufficientBuffer = 122;  // ERROR_INSUFFICIENT_BUFFER
inline constexpr uint32_t kErrorInvalidData = 13;          // ERROR_INVALID_DATA
inline constexpr uint32_t kSpdrpDeviceDesc = 0x00;         // SPDRP_DEVICEDESC
inline constexpr uint32_t kSpdrpMfg = 0x0B;                // SPDRP_MFG
inline constexpr uint32_t kSpdrpFriendlyName = 0x0C;       // SPDRP_FRIENDLYNAME

// --- loading ---------------------------------------------------------------------------

enum SetupApiSlot : size_t {
  kInstanceId,       // SetupDiGetDeviceInstanceIdW
  kInterfaceDetail,  // SetupDiGetDeviceInterfaceDetailW
  kEnumInterfaces,   // SetupDiEnumDeviceInterfaces
  kGetClassDevs,     // SetupDiGetClassDevsW
  kDestroyList,      // SetupDiDestroyDeviceInfoList
  kRegistryProperty, // SetupDiGetDeviceRegistryPropertyW
  kEnumDeviceInfo,   // SetupDiEnumDeviceInfo
  kSetupApiSlots
};
using SetupApiSymbols = std::array<void*, kSetupApiSlots>;

// Resolves the functions in the library's order; two have an older alternative name.
// False when any of them is missing.
template <class Lookup>  // void* Lookup(const char* name)
bool ResolveSetupApi(Lookup&& lookup, SetupApiSymbols& out) {
  out.fill(nullptr);
  auto either = [&](const char* first, const char* second) {
    void* p = lookup(first);
    return p ? p : lookup(second);
  };
  out[kInstanceId] = lookup("SetupDiGetDeviceInstanceIdW");
  out[kInterfaceDetail] = either("SetupDiGetDeviceInterfaceDetailW", "SetupDiGetInterfaceDeviceDetailW");
  out[kEnumInterfaces] = either("SetupDiEnumInterfaceDevice", "SetupDiEnumDeviceInterfaces");
  out[kGetClassDevs] = lookup("SetupDiGetClassDevsW");
  out[kDestroyList] = lookup("SetupDiDestroyDeviceInfoList");
  out[kRegistryProperty] = lookup("SetupDiGetDeviceRegistryPropertyW");
  out[kEnumDeviceInfo] = lookup("SetupDiEnumDeviceInfo");
  for (void* p : out)
    if (!p) return false;
  return true;
}

// --- one member of the walk --------------------------------------------------------------

struct DevRegItem {
  std::u16string devicePath;
  std::u16string instanceId;
  std::u16string manufacturer;
  std::u16string friendlyName;
  std::u16string deviceDescription;
};

// UTF-16 text stored in `bytes` from `offset`, up to the first NUL or the end of the bytes.
inline std::u16string TextFromBytes(const unsigned char* bytes, size_t size, size_t offset = 0) {
  std::u16string text;
  for (size_t i = offset; i + 1 < size; i += 2) {
    char16_t c;
    std::memcpy(&c, bytes + i, sizeof c);
    if (c == 0) break;
    text += c;
  }
  return text;
}

// Api provides:
//   static constexpr size_t kDetailPathOffset;  offset of DevicePath in the detail data
//   bool EnumInterface(uint32_t index);
//   bool InterfaceDetail(unsigned char* detail, uint32_t size, uint32_t* required);
//       detail null: asks for the size; otherwise sets the detail's cbSize and also fills
//       the device's info data used by the calls below
//   bool InstanceId(char16_t* buffer, uint32_t units, uint32_t* required);
//   bool Property(uint32_t property, unsigned char* buffer, uint32_t size, uint32_t* required,
//                 uint32_t* error);   error: the last error when it failed
//
// Device path and instance ID are this member's or empty; the three properties keep the
// previous member's value when this one lacks them. True when the instance ID was read.
template <class Api>
bool LoadDevRegItem(Api& api, uint32_t index, DevRegItem& item) {
  item.devicePath.clear();
  item.instanceId.clear();
  if (!api.EnumInterface(index)) return false;

  bool loaded = false;
  uint32_t required = 0;
  if (!api.InterfaceDetail(nullptr, 0, &required)) {
    // Twice the size asked for, and never less than the fixed part and one terminator.
    size_t size = std::max<size_t>(2 * static_cast<size_t>(required), Api::kDetailPathOffset + 2);
    std::vector<unsigned char> detail(size);
    if (api.InterfaceDetail(detail.data(), static_cast<uint32_t>(size), nullptr)) {
      item.devicePath = TextFromBytes(detail.data(), size, Api::kDetailPathOffset);
      uint32_t units = 0;
      api.InstanceId(nullptr, 0, &units);
      std::vector<char16_t> id(static_cast<size_t>(units) + 1, 0);
      if (units > 0 && api.InstanceId(id.data(), units, nullptr)) {
        item.instanceId = TextFromBytes(reinterpret_cast<const unsigned char*>(id.data()), 2 * id.size());
        loaded = true;
      }
    }
  }

  auto readProperty = [&api](uint32_t property, std::u16string& field) {
    uint32_t size = 0;
    uint32_t error = 0;
    if (!api.Property(property, nullptr, 0, &size, &error) && error != kErrorInsufficientBuffer) return;
    std::vector<unsigned char> buffer(static_cast<size_t>(size) + 2, 0);
    if (api.Property(property, buffer.data(), size, nullptr, &error)) field = TextFromBytes(buffer.data(), buffer.size());
  };
  readProperty(kSpdrpMfg, item.manufacturer);
  readProperty(kSpdrpFriendlyName, item.friendlyName);
  readProperty(kSpdrpDeviceDesc, item.deviceDescription);
  return loaded;
}

}  // namespace vyra::discovery
