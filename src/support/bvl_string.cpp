#include "support/bvl_string.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/bstr.h"
#include "platform/codepage.h"
#include "support/bvl_string_rep.h"
#include "support/hresult.h"
#include "platform/process_wide.h"

namespace BVLString {

StringRepBase::~StringRepBase() { std::free(narrowCopy); }

StringRep* StringRep::Create(int32_t capacity) {
  capacity = std::max(capacity, 8);
  void* memory = ::operator new(sizeof(StringRep) + sizeof(char16_t) * static_cast<size_t>(capacity));
  auto* rep = new (memory) StringRep();
  rep->capacity = capacity;
  rep->length = 1;
  rep->Text()[0] = 0;
  return rep;
}

vyra::ComResult VYRA_COM StringRep::QueryInterface(const vyra::Guid& iid, void** out) {
  if (!out) return vyra::kE_POINTER;
  if (iid == vyra::kIID_IUnknown || iid == IID_IBVLString || iid == IID_IAutoBVLString) {
    *out = static_cast<IBVLString*>(this);
    AddRef();
    return vyra::kS_OK;
  }
  *out = nullptr;
  return vyra::kE_NOINTERFACE;
}

uint32_t VYRA_COM StringRep::AddRef() {
  return static_cast<uint32_t>(refCount.fetch_add(1, std::memory_order_relaxed) + 1);
}

uint32_t VYRA_COM StringRep::Release() {
  int32_t left = refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) DeletingDestructor(1);
  return static_cast<uint32_t>(left);
}

vyra::ComResult VYRA_COM StringRep::AssignBstr(vyra::plat::Bstr text) {
  if (refCount.load(std::memory_order_acquire) >= 2) return vyra::kE_FAIL;
  if (!text) {
    length = 1;
    Text()[0] = 0;
    narrowValid = 0;
    return vyra::kS_OK;
  }
  uint32_t units = vyra::plat::BstrLen(text);
  if (units >= static_cast<uint32_t>(capacity)) return vyra::kE_FAIL;
  std::memcpy(Text(), text, units * sizeof(char16_t));
  Text()[units] = 0;
  length = static_cast<int32_t>(units) + 1;
  narrowValid = 0;
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::GetBstr(vyra::plat::Bstr* out) {
  if (!out) return vyra::kE_FAIL;
  if (*out) {
    vyra::plat::FreeBstr(*out);
    *out = nullptr;
  }
  if (length > 1) {
    *out = vyra::plat::AllocBstr(Text(), static_cast<uint32_t>(length - 1));
    if (!*out) return vyra::kE_OUTOFMEMORY;
  }
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::IsEmpty(vyra::plat::VariantBool* out) {
  if (!out) return vyra::kE_FAIL;
  *out = length <= 1 ? vyra::plat::kVariantTrue : vyra::plat::kVariantFalse;
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::GetLength(int32_t* out) {
  if (!out) return vyra::kE_FAIL;
  *out = length - 1;
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::IsEqual(IBVLString* other, vyra::plat::VariantBool* out) {
  if (!out) return vyra::kE_FAIL;
  *out = vyra::plat::kVariantFalse;
  if (!other) return vyra::kE_FAIL;
  bool equal;
  if (other == static_cast<IBVLString*>(this)) {
    equal = true;
  } else if (other->ImplementationTag() == kNativeTag) {
    const char16_t* a = Text();
    const char16_t* b = TextOf(other);  // same layout, maybe not our class
    while (*a && *a == *b) ++a, ++b;
    equal = *a == *b;
  } else {
    vyra::plat::Bstr theirs = nullptr;
    if (other->GetBstr(&theirs) != vyra::kS_OK) theirs = nullptr;
    uint32_t theirLength = vyra::plat::BstrLen(theirs);
    uint32_t ownLength = static_cast<uint32_t>(length - 1);
    // A null BSTR and one of length 0 are both the empty text.
    equal = ownLength == theirLength &&
            (ownLength == 0 || std::memcmp(Text(), theirs, ownLength * sizeof(char16_t)) == 0);
    vyra::plat::FreeBstr(theirs);
  }
  *out = equal ? vyra::plat::kVariantTrue : vyra::plat::kVariantFalse;
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::IsShared(vyra::plat::VariantBool* out) {
  if (!out) return vyra::kE_FAIL;
  *out = refCount.load(std::memory_order_acquire) > 1 ? vyra::plat::kVariantTrue : vyra::plat::kVariantFalse;
  return vyra::kS_OK;
}

int32_t VYRA_COM StringRep::ImplementationTag() { return kNativeTag; }

vyra::ComResult VYRA_COM StringRep::CopyTo(int32_t sizeInBytes, void* dest) {
  const int64_t bytes = int64_t{length} * 2;
  if (!dest || sizeInBytes < bytes) return vyra::kE_FAIL;
  std::memcpy(dest, Text(), static_cast<size_t>(bytes));
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::GetSize(int32_t* outLength, int32_t* outUnitSize) {
  if (!outLength || !outUnitSize) return vyra::kE_FAIL;
  *outLength = length - 1;
  *outUnitSize = 2;
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::GetCapacity(int32_t* out) {
  if (!out) return vyra::kE_FAIL;
  *out = capacity - 1;
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::CreateEmpty(int32_t units, IBVLString** out) {
  if (!out) return vyra::kE_FAIL;
  *out = nullptr;
  if (units < 0 || units >= INT32_MAX / 2) return vyra::kE_FAIL;
  try {
    *out = Create(units + 1);
  } catch (...) {  // never let an allocation failure cross the interface
    return vyra::kE_OUTOFMEMORY;
  }
  return vyra::kS_OK;
}

vyra::ComResult VYRA_COM StringRep::GetVariant(vyra::plat::Variant* out) {
  if (!out) return vyra::kE_FAIL;
  vyra::plat::InitVariant(out);
  out->vt = vyra::plat::kVtBstr;
  out->bstrVal = nullptr;
  if (length > 1) {
    out->bstrVal = vyra::plat::AllocBstr(Text(), static_cast<uint32_t>(length - 1));
    if (!out->bstrVal) return vyra::kE_OUTOFMEMORY;
  }
  return vyra::kS_OK;
}

int32_t VYRA_COM StringRep::Length() { return length - 1; }

void VYRA_COM StringRep::Destroy() { DeletingDestructor(1); }

int32_t VYRA_COM StringRep::Reserved() { return 0; }

char16_t* VYRA_COM StringRep::GetText() { return Text(); }

void* VYRA_COM StringRep::DeletingDestructor(uint32_t flags) {
  this->~StringRep();
  if (flags & 1) ::operator delete(static_cast<void*>(this));
  return this;
}

}  // namespace BVLString

namespace {

using BVLString::StringRep;
using BVLString::StringRepBase;

// The counters are read as the 32-bit words just before the text, which is all the layout
// contract promises about a block another module made. The class is used only on blocks
// known to be our own.
std::atomic<int32_t>& RefCountWord(const char16_t* text) {
  return *reinterpret_cast<std::atomic<int32_t>*>(
      const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(text)) - 12);
}
int32_t& CapacityWord(const char16_t* text) {
  return *reinterpret_cast<int32_t*>(const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(text)) - 8);
}
int32_t& LengthWord(const char16_t* text) {
  return *reinterpret_cast<int32_t*>(const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(text)) - 4);
}
StringRepBase* OwnBlock(const char16_t* text) { return static_cast<StringRepBase*>(StringRepBase::ObjectOf(text)); }

// Capacities are 32-bit in the block; larger requests are refused before any arithmetic
// could wrap.
int32_t CheckedCapacity(int64_t units) {
  constexpr int64_t kMax = (std::min<int64_t>(INT32_MAX, (SIZE_MAX - sizeof(StringRep)) / 2));
  if (units > kMax) throw BVL::xmsg("BVL::String size too big");
  return static_cast<int32_t>(std::max<int64_t>(units, 0));
}

// A new block of max(capacity, 8) units holding `units` units of `source` and a terminator.
char16_t* NewText(int32_t capacity, const char16_t* source, size_t units) {
  StringRep* rep = StringRep::Create(capacity);
  char16_t* text = rep->Text();
  if (units) std::memcpy(text, source, units * sizeof(char16_t));
  // Zeroes to the end, so a length set after GetBuffer never exposes stale memory.
  std::memset(text + units, 0, (static_cast<size_t>(rep->capacity) - units) * sizeof(char16_t));
  rep->length = static_cast<int32_t>(units) + 1;
  return text;
}

void AddRefText(const char16_t* text) { RefCountWord(text).fetch_add(1, std::memory_order_relaxed); }

void ReleaseText(const char16_t* text) {
  // Through the interface: a block adopted from another module is freed by that module.
  if (RefCountWord(text).fetch_sub(1, std::memory_order_acq_rel) == 1) StringRepBase::ObjectOf(text)->Destroy();
}

// The process's reference to the shared empty block, given back when the module unloads.
// The block itself goes with its last reference.
std::atomic<char16_t*> g_empty{nullptr};

struct EmptyHolder {
  EmptyHolder() { g_empty.store(NewText(9, nullptr, 0), std::memory_order_release); }
  ~EmptyHolder() {
    if (char16_t* text = g_empty.exchange(nullptr)) ReleaseText(text);
  }
};

char16_t* EmptyText() {
  static vyra::ProcessWide<EmptyHolder> holder;  // every thread's strings use it until unload
  if (char16_t* text = g_empty.load(std::memory_order_acquire)) {
    AddRefText(text);
    return text;
  }
  return NewText(9, nullptr, 0);  // during unload teardown: an empty block of its own
}

// Blocks of our own making may be changed in place; a layout-compatible block adopted from
// another module is copied before its first change (its allocations are not ours to free).
bool IsOwnBlock(const char16_t* text) {
  static const void* const ownTable = [] {
    StringRep* probe = StringRep::Create(8);
    const void* table = *reinterpret_cast<void* const*>(probe);
    probe->Destroy();
    return table;
  }();
  return *reinterpret_cast<void* const*>(StringRepBase::ObjectOf(text)) == ownTable;
}

bool IsUnique(const char16_t* text) {
  return RefCountWord(text).load(std::memory_order_acquire) == 1 && IsOwnBlock(text);
}

size_t UnitsBefore(const char16_t* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n]) ++n;
  return n;
}

// Widens ANSI text. The byte-limited form sizes the block by the bytes taken; in a
// multi-byte code page the length still counts the units the conversion gave.
char16_t* WidenedText(const char* narrow, size_t bytes, bool capacityFromBytes) {
  // Every ANSI code page maps 0x00-0x7F to the same code points, and device lines are plain
  // ASCII: widen those in place, without a converter or a temporary.
  const bool ascii = std::all_of(narrow, narrow + bytes, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (bytes && ascii) {
    char16_t* text = NewText(CheckedCapacity(static_cast<int64_t>(bytes) + 1), nullptr, 0);
    std::copy(narrow, narrow + bytes, text);
    LengthWord(text) = static_cast<int32_t>(bytes) + 1;
    return text;
  }
  std::u16string wide;
  if (bytes) vyra::plat::MultiByteToWide(vyra::plat::kCodePageAnsi, std::string_view(narrow, bytes), wide);
  if (wide.empty()) return EmptyText();
  const size_t units = capacityFromBytes ? std::max(wide.size(), bytes) : wide.size();
  return NewText(CheckedCapacity(static_cast<int64_t>(units) + 1), wide.data(), wide.size());
}

}  // namespace

namespace BVL {

String::String() noexcept : text_(EmptyText()) {}

String::String(const char16_t* text) {
  size_t n = text ? UnitsBefore(text, SIZE_MAX) : 0;
  text_ = n ? NewText(CheckedCapacity(static_cast<int64_t>(n) + 1), text, n) : EmptyText();
}

String::String(const char16_t* text, size_t units) {
  if (units > static_cast<size_t>(INT32_MAX)) throw xmsg("BVL::String size too big");
  text_ = units && text ? NewText(CheckedCapacity(static_cast<int64_t>(units) + 1), text, units) : EmptyText();
}

String::String(const char* narrowAnsi) {
  size_t bytes = narrowAnsi ? std::strlen(narrowAnsi) : 0;
  if (bytes > static_cast<size_t>(INT32_MAX) - 1) throw xmsg("BVL::String size too big");
  text_ = WidenedText(narrowAnsi, bytes, false);
}

String::String(const char* narrowAnsi, int byteLimit) {
  if (byteLimit < 0) throw xmsg("BVL::String size too big");
  size_t bytes = 0;
  if (narrowAnsi)
    while (bytes < static_cast<size_t>(byteLimit) && narrowAnsi[bytes]) ++bytes;
  text_ = WidenedText(narrowAnsi, bytes, true);
}

String::String(const String& other) noexcept : text_(other.text_) { AddRefText(text_); }

String::String(String&& other) noexcept : text_(other.text_) { other.text_ = EmptyText(); }

String& String::operator=(const String& other) noexcept {
  AddRefText(other.text_);
  ReleaseText(text_);
  text_ = other.text_;
  return *this;
}

String& String::operator=(String&& other) noexcept {
  std::swap(text_, other.text_);
  return *this;
}

String::~String() { ReleaseText(text_); }

String String::Adopt(IBVLString* object) {
  if (!object) return String();
  if (object->ImplementationTag() == IBVLString::kNativeTag) return String(TakeText{}, StringRepBase::TextOf(object));

  // A foreign implementation: copy its text, then give back the caller's reference.
  struct Releaser {
    IBVLString* object;
    ~Releaser() { object->Release(); }
  } releaser{object};
  int32_t units = 0, unitSize = 0;
  if (object->GetSize(&units, &unitSize) != vyra::kS_OK || units <= 0 || units >= INT32_MAX / 2 - 8)
    return String();
  if (unitSize == 2) {
    String copy(TakeText{}, NewText(units + 1, nullptr, 0));
    if (object->CopyTo((units + 1) * 2, copy.text_) != vyra::kS_OK) return String();
    copy.text_[units] = 0;
    LengthWord(copy.text_) = units + 1;
    return copy;
  }
  std::string bytes(static_cast<size_t>(units) + 1, '\0');
  if (object->CopyTo(units + 1, bytes.data()) != vyra::kS_OK) return String();
  return String(bytes.data(), units);
}

int String::Length() const noexcept { return LengthWord(text_) - 1; }

void String::Unshare() {
  if (IsUnique(text_)) return;
  int32_t capacity = std::max(CapacityWord(text_), 8);
  int32_t keep = std::min(LengthWord(text_), capacity);
  char16_t* text = NewText(capacity, text_, static_cast<size_t>(keep - 1));
  ReleaseText(text_);
  text_ = text;
}

void String::MakeUnique() {
  Unshare();
  OwnBlock(text_)->narrowValid = 0;
}

void String::Reserve(int capacity) {
  if (CapacityWord(text_) == capacity && IsUnique(text_)) return;
  int32_t keep = std::min(LengthWord(text_), std::max(capacity, 1));
  char16_t* text = NewText(CheckedCapacity(capacity), text_, static_cast<size_t>(keep - 1));
  ReleaseText(text_);
  text_ = text;
}

const char* String::NarrowText() {
  // Unsharing keeps the cache: a block no one else holds has not changed since it was made.
  Unshare();
  StringRepBase* block = OwnBlock(text_);
  if (block->narrowValid == 1) return block->narrowCopy;
  std::string narrow;
  vyra::plat::WideToMultiByte(vyra::plat::kCodePageThreadAnsi, View(), narrow);
  auto* copy = static_cast<char*>(std::malloc(narrow.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, narrow.c_str(), narrow.size() + 1);
  std::free(block->narrowCopy);
  block->narrowCopy = copy;
  block->narrowValid = 1;
  return copy;
}

void String::AppendUnits(const char16_t* units, size_t count) {
  MakeUnique();
  const int64_t newLength = int64_t{LengthWord(text_)} + static_cast<int64_t>(count);
  if (newLength > CapacityWord(text_)) Reserve(CheckedCapacity(newLength * 3 / 2));
  std::memcpy(text_ + LengthWord(text_) - 1, units, count * sizeof(char16_t));
  text_[newLength - 1] = 0;
  LengthWord(text_) = static_cast<int32_t>(newLength);
}

String& String::operator+=(const String& other) {
  if (other.text_ == text_) {
    String keep(other);  // holds the text while this string moves to a new block
    AppendUnits(keep.text_, static_cast<size_t>(keep.Length()));
  } else {
    AppendUnits(other.text_, static_cast<size_t>(other.Length()));
  }
  return *this;
}

String& String::operator+=(const char16_t* literal) {
  if (!literal) return *this;
  const size_t count = UnitsBefore(literal, SIZE_MAX);
  const auto at = reinterpret_cast<uintptr_t>(literal);
  const auto begin = reinterpret_cast<uintptr_t>(text_);
  if (at >= begin && at < begin + sizeof(char16_t) * static_cast<size_t>(CapacityWord(text_))) {
    std::u16string copy(literal, count);  // a piece of this very string
    AppendUnits(copy.data(), count);
  } else {
    AppendUnits(literal, count);
  }
  return *this;
}

String& String::operator+=(char16_t c) {
  MakeUnique();
  const int64_t needed = int64_t{LengthWord(text_)} + 1;
  if (needed > CapacityWord(text_)) Reserve(CheckedCapacity(needed * 3 / 2));
  int32_t& length = LengthWord(text_);
  text_[length - 1] = c;
  text_[length] = 0;
  ++length;
  return *this;
}

void String::Erase(int from, int to) {
  // Positions beyond the text are taken as its end: an erase never reaches past the text.
  const int last = Length();
  from = std::clamp(from, 0, last);
  to = std::clamp(to, 0, last);
  if (from >= to) return;
  MakeUnique();
  int32_t& length = LengthWord(text_);
  if (to < last) {
    std::memmove(text_ + from, text_ + to, static_cast<size_t>(length - to) * sizeof(char16_t));
    length -= to - from;
  } else {
    text_[from] = 0;
    length = from + 1;
  }
}

void String::ReplaceUnits(int pos, int count, const char16_t* units, size_t n) {
  const int last = Length();
  pos = std::clamp(pos, 0, last);
  if (pos == last) {
    AppendUnits(units, n);
    return;
  }
  count = std::clamp(count, 0, last - pos);
  if (count > 0)
    Erase(pos, pos + count);
  else
    MakeUnique();
  const int64_t needed = int64_t{LengthWord(text_)} + static_cast<int64_t>(n);
  if (needed > CapacityWord(text_)) Reserve(CheckedCapacity(needed));
  std::memmove(text_ + pos + n, text_ + pos, static_cast<size_t>(LengthWord(text_) - pos) * sizeof(char16_t));
  std::memcpy(text_ + pos, units, n * sizeof(char16_t));
  LengthWord(text_) = static_cast<int32_t>(needed);
}

void String::Replace(int pos, int count, const String& with) {
  if (with.text_ == text_) {
    String keep(with);
    ReplaceUnits(pos, count, keep.text_, static_cast<size_t>(keep.Length()));
  } else {
    ReplaceUnits(pos, count, with.text_, static_cast<size_t>(with.Length()));
  }
}

void String::ToLower() {
  MakeUnique();
  vyra::plat::LowerInPlace(text_, static_cast<size_t>(CapacityWord(text_)));
}

char16_t* String::GetBuffer(int n) {
  n = std::max(n, 0);
  if (IsUnique(text_) && int64_t{CapacityWord(text_)} >= int64_t{n} + 1) {
    StringRepBase* block = OwnBlock(text_);
    std::free(block->narrowCopy);
    block->narrowCopy = nullptr;
    block->narrowValid = 0;
  } else {
    char16_t* text = NewText(CheckedCapacity(int64_t{n} + 1), nullptr, 0);
    ReleaseText(text_);
    text_ = text;
  }
  LengthWord(text_) = 1;
  text_[0] = 0;
  text_[n] = 0;
  return text_;
}

void String::SetLength(int unitsWithTerminator) {
  MakeUnique();
  int32_t& length = LengthWord(text_);
  length = std::clamp(unitsWithTerminator, 1, CapacityWord(text_));
  text_[length - 1] = 0;
}

IBVLString* String::Rep() const noexcept { return StringRepBase::ObjectOf(text_); }

IBVLString* String::NewReference() const noexcept {
  AddRefText(text_);
  return StringRepBase::ObjectOf(text_);
}

int32_t String::Capacity() const noexcept { return CapacityWord(text_); }

int32_t String::RefCount() const noexcept { return RefCountWord(text_).load(std::memory_order_relaxed); }

bool operator==(const String& a, const String& b) noexcept {
  if (a.text_ == b.text_) return true;
  const char16_t* x = a.text_;
  const char16_t* y = b.text_;
  while (*x && *x == *y) ++x, ++y;
  return *x == *y;
}

bool operator<(const String& a, const String& b) noexcept {
  if (a.text_ == b.text_) return false;
  const char16_t* x = a.text_;
  const char16_t* y = b.text_;
  while (*x && *x == *y) ++x, ++y;
  return *x < *y;
}

// ---- text for the host ---------------------------------------------------------------

namespace {

// Stores a NUL-terminated text into the host's buffer within `bufferSize` bytes; a text
// that does not fit is cut (between characters in UTF-8) and terminated.
bool StoreForHost(const char* text, size_t textSize, char* buffer, size_t bufferSize, bool utf8) {
  if (!buffer || bufferSize == 0) return false;
  size_t n = 0;
  while (n < textSize && text[n]) ++n;
  if (n >= bufferSize) {
    n = bufferSize - 1;
    if (utf8)
      while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(buffer, text, n);
  buffer[n] = 0;
  return true;
}

}  // namespace

bool ConvertToCodePage(std::u16string_view wide, unsigned codePage, std::vector<char>& out) {
  std::string narrow;
  if (!vyra::plat::WideToMultiByte(codePage, wide, narrow) || narrow.empty()) {
    out.assign(1, '\0');
    return false;
  }
  out.assign(narrow.begin(), narrow.end());
  out.push_back('\0');
  return true;
}

bool CopyToHostBuffer(std::u16string_view wide, char* buffer, size_t bufferSize, unsigned codePage) {
  if (!buffer || bufferSize == 0) return false;
  std::vector<char> converted;
  if (!ConvertToCodePage(wide, codePage, converted)) return false;
  return StoreForHost(converted.data(), converted.size(), buffer, bufferSize,
                      vyra::plat::CodePageIsUtf8(codePage));
}

bool CopyNarrowToHostBuffer(std::string_view narrow, char* buffer, size_t bufferSize) {
  if (narrow.empty()) return false;
  return StoreForHost(narrow.data(), narrow.size(), buffer, bufferSize,
                      vyra::plat::CodePageIsUtf8(vyra::plat::kCodePageAnsi));
}

}  // namespace BVL
