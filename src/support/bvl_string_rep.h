#pragma once
// The representation block behind BVL::String: header fields, then the UTF-16 text in the
// same allocation. The three 32-bit words just before the text (refCount, capacity, length)
// are a contract with other modules, which find them from the text pointer.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "support/ibvl_string.h"
#include "vyra/abi_sizes.h"

namespace BVLString {

class StringRepBase : public IBVLString {
 public:
  char* narrowCopy = nullptr;  // malloc'ed, NUL-terminated thread-ANSI copy, or null
  int32_t narrowValid = 0;
  std::atomic<int32_t> refCount{1};
  int32_t capacity = 0;  // UTF-16 units in the text area, terminator included
  int32_t length = 1;    // units in use, terminator included

  static constexpr size_t kTextOffset = vyra::abi::kStringTextOffset;

  char16_t* Text() noexcept {
    return reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(this) + kTextOffset);
  }
  // Address arithmetic only: valid for any object with this layout, ours or another module's.
  static char16_t* TextOf(IBVLString* object) noexcept {
    return reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(object) + kTextOffset);
  }
  static IBVLString* ObjectOf(const char16_t* text) noexcept {
    return reinterpret_cast<IBVLString*>(
        const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(text)) - kTextOffset);
  }

 protected:
  StringRepBase() = default;
  ~StringRepBase();  // frees narrowCopy
};

class StringRep final : public StringRepBase {
 public:
  // A block of max(capacity, 8) units holding the empty text, refCount 1.
  static StringRep* Create(int32_t capacity);

  vyra::ComResult VYRA_COM QueryInterface(const vyra::Guid& iid, void** out) override;
  uint32_t VYRA_COM AddRef() override;
  uint32_t VYRA_COM Release() override;
  vyra::ComResult VYRA_COM AssignBstr(vyra::plat::Bstr text) override;
  vyra::ComResult VYRA_COM GetBstr(vyra::plat::Bstr* out) override;
  vyra::ComResult VYRA_COM IsEmpty(vyra::plat::VariantBool* out) override;
  vyra::ComResult VYRA_COM GetLength(int32_t* out) override;
  vyra::ComResult VYRA_COM IsEqual(IBVLString* other, vyra::plat::VariantBool* out) override;
  vyra::ComResult VYRA_COM IsShared(vyra::plat::VariantBool* out) override;
  int32_t VYRA_COM ImplementationTag() override;
  vyra::ComResult VYRA_COM CopyTo(int32_t sizeInBytes, void* dest) override;
  vyra::ComResult VYRA_COM GetSize(int32_t* outLength, int32_t* outUnitSize) override;
  vyra::ComResult VYRA_COM GetCapacity(int32_t* out) override;
  vyra::ComResult VYRA_COM CreateEmpty(int32_t units, IBVLString** out) override;
  vyra::ComResult VYRA_COM GetVariant(vyra::plat::Variant* out) override;
  int32_t VYRA_COM Length() override;
  void VYRA_COM Destroy() override;
  int32_t VYRA_COM Reserved() override;
  char16_t* VYRA_COM GetText() override;
  void* VYRA_COM DeletingDestructor(uint32_t flags) override;

 private:
  StringRep() = default;
  ~StringRep() = default;
};

// The layout contract: 24 bytes of header on 32-bit builds, the three counters directly
// before the text on every build.
static_assert(sizeof(std::atomic<int32_t>) == 4 && std::atomic<int32_t>::is_always_lock_free);
static_assert(sizeof(StringRep) == StringRepBase::kTextOffset);
static_assert(sizeof(void*) != 4 || StringRepBase::kTextOffset == 24);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
static_assert(offsetof(StringRepBase, narrowCopy) == sizeof(void*));
static_assert(offsetof(StringRepBase, length) == StringRepBase::kTextOffset - 4);
static_assert(offsetof(StringRepBase, capacity) == StringRepBase::kTextOffset - 8);
static_assert(offsetof(StringRepBase, refCount) == StringRepBase::kTextOffset - 12);
static_assert(offsetof(StringRepBase, narrowValid) == StringRepBase::kTextOffset - 16);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace BVLString
