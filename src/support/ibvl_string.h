#pragma once
// The string object interface shared with the host framework. A representation block of
// BVL::String implements it, so a string crosses module boundaries as one interface pointer.
// The operation order below is binary contract: never reorder, insert or remove.
#include <cstdint>

#include "platform/bstr.h"
#include "vyra/com.h"

// {8AE1E18F-A387-408B-B385-DC36CCD61056}
inline constexpr vyra::Guid IID_IAutoBVLString = {
    0x8ae1e18f, 0xa387, 0x408b, {0xb3, 0x85, 0xdc, 0x36, 0xcc, 0xd6, 0x10, 0x56}};
// {AC28C700-59C1-4464-B728-97799C225716}
inline constexpr vyra::Guid IID_IBVLString = {
    0xac28c700, 0x59c1, 0x4464, {0xb7, 0x28, 0x97, 0x79, 0x9c, 0x22, 0x57, 0x16}};

struct IAutoBVLString : vyra::IUnknownBase {};

struct IBVLString : IAutoBVLString {
  // Objects whose tag is this value have the BVL::String block layout: their text lies
  // directly after the 32-bit refCount, capacity and length words.
  static constexpr int32_t kNativeTag = 9;

  virtual vyra::ComResult VYRA_COM AssignBstr(vyra::plat::Bstr text) = 0;
  virtual vyra::ComResult VYRA_COM GetBstr(vyra::plat::Bstr* out) = 0;
  virtual vyra::ComResult VYRA_COM IsEmpty(vyra::plat::VariantBool* out) = 0;
  virtual vyra::ComResult VYRA_COM GetLength(int32_t* out) = 0;
  virtual vyra::ComResult VYRA_COM IsEqual(IBVLString* other, vyra::plat::VariantBool* out) = 0;
  virtual vyra::ComResult VYRA_COM IsShared(vyra::plat::VariantBool* out) = 0;
  virtual int32_t VYRA_COM ImplementationTag() = 0;
  virtual vyra::ComResult VYRA_COM CopyTo(int32_t sizeInBytes, void* dest) = 0;
  virtual vyra::ComResult VYRA_COM GetSize(int32_t* outLength, int32_t* outUnitSize) = 0;
  virtual vyra::ComResult VYRA_COM GetCapacity(int32_t* out) = 0;
  virtual vyra::ComResult VYRA_COM CreateEmpty(int32_t units, IBVLString** out) = 0;
  virtual vyra::ComResult VYRA_COM GetVariant(vyra::plat::Variant* out) = 0;
  virtual int32_t VYRA_COM Length() = 0;
  virtual void VYRA_COM Destroy() = 0;
  virtual int32_t VYRA_COM Reserved() = 0;
  virtual char16_t* VYRA_COM GetText() = 0;
  // The deleting destructor's slot. An explicit operation rather than a C++ virtual
  // destructor, which some compilers give two slots. Bit 0 of flags: free the block.
  virtual void* VYRA_COM DeletingDestructor(uint32_t flags) = 0;
};
