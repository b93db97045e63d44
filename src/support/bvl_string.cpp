// Provisional BVL::String: the block layout without the IBVLString operations.
// Replaced by the full implementation.
#include "support/bvl_string.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/codepage.h"

namespace {
struct Block {
  void* vtbl;
  char* narrowCopy;
  int32_t narrowValid;
  std::atomic<int32_t> refCount;
  int32_t capacity;
  int32_t length;
  char16_t text[1];
};
Block* BlockOf(char16_t* text) {
  return reinterpret_cast<Block*>(reinterpret_cast<char*>(text) - offsetof(Block, text));
}
char16_t* NewBlock(int32_t capacity, const char16_t* src, int32_t units) {
  capacity = std::max(capacity, 8);
  auto* b = static_cast<Block*>(std::calloc(1, offsetof(Block, text) + 2 * static_cast<size_t>(capacity)));
  new (&b->refCount) std::atomic<int32_t>(1);
  b->capacity = capacity;
  b->length = units + 1;
  if (units) std::memcpy(b->text, src, 2 * static_cast<size_t>(units));
  b->text[units] = 0;
  return b->text;
}
char16_t* EmptyText() {
  static char16_t* e = [] {
    char16_t* t = NewBlock(9, nullptr, 0);
    return t;
  }();
  BlockOf(e)->refCount.fetch_add(1);
  return e;
}
void ReleaseText(char16_t* t) {
  Block* b = BlockOf(t);
  if (b->refCount.fetch_sub(1) == 1) {
    std::free(b->narrowCopy);
    std::free(b);
  }
}
}  // namespace

namespace BVL {

String::String() noexcept : text_(EmptyText()) {}
String::String(const char16_t* text) {
  size_t n = 0;
  if (text)
    while (text[n]) ++n;
  text_ = n ? NewBlock(static_cast<int32_t>(n + 1), text, static_cast<int32_t>(n)) : EmptyText();
}
String::String(const char16_t* text, size_t units)
    : text_(units ? NewBlock(static_cast<int32_t>(units + 1), text, static_cast<int32_t>(units)) : EmptyText()) {}
String::String(const char* narrow) {
  std::u16string w;
  if (narrow && *narrow) vyra::plat::MultiByteToWide(vyra::plat::kCodePageAnsi, narrow, w);
  text_ = w.empty() ? EmptyText() : NewBlock(static_cast<int32_t>(w.size() + 1), w.data(), static_cast<int32_t>(w.size()));
}
String::String(const char* narrow, int byteLimit) {
  if (byteLimit < 0) throw xmsg("BVL::String size too big");
  size_t k = 0;
  if (narrow)
    while (k < static_cast<size_t>(byteLimit) && narrow[k]) ++k;
  std::u16string w;
  if (k) vyra::plat::MultiByteToWide(vyra::plat::kCodePageAnsi, std::string_view(narrow, k), w);
  text_ = w.empty() ? EmptyText() : NewBlock(static_cast<int32_t>(w.size() + 1), w.data(), static_cast<int32_t>(w.size()));
}
String::String(const String& o) noexcept : text_(o.text_) { BlockOf(text_)->refCount.fetch_add(1); }
String::String(String&& o) noexcept : text_(o.text_) { o.text_ = EmptyText(); }
String& String::operator=(const String& o) noexcept {
  BlockOf(o.text_)->refCount.fetch_add(1);
  ReleaseText(text_);
  text_ = o.text_;
  return *this;
}
String& String::operator=(String&& o) noexcept {
  std::swap(text_, o.text_);
  return *this;
}
String::~String() { ReleaseText(text_); }
String String::Adopt(IBVLString*) { return String(); }
int String::Length() const noexcept { return BlockOf(text_)->length - 1; }
const char* String::NarrowText() {
  MakeUnique();
  Block* b = BlockOf(text_);
  if (!b->narrowValid) {
    std::string s;
    vyra::plat::WideToMultiByte(vyra::plat::kCodePageThreadAnsi, View(), s);
    std::free(b->narrowCopy);
    b->narrowCopy = static_cast<char*>(std::malloc(s.size() + 1));
    std::memcpy(b->narrowCopy, s.c_str(), s.size() + 1);
    b->narrowValid = 1;
  }
  return b->narrowCopy;
}
void String::MakeUnique() {
  Block* b = BlockOf(text_);
  if (b->refCount.load() == 1) {
    b->narrowValid = 0;
    return;
  }
  char16_t* t = NewBlock(b->capacity, text_, b->length - 1);
  ReleaseText(text_);
  text_ = t;
}
void String::Reserve(int capacity) {
  Block* b = BlockOf(text_);
  if (b->refCount.load() == 1 && b->capacity == capacity) return;
  int32_t keep = std::min(b->length, capacity) - 1;
  char16_t* t = NewBlock(capacity, text_, std::max(keep, 0));
  ReleaseText(text_);
  text_ = t;
}
String& String::operator+=(const String& o) { return *this += o.c_str(); }
String& String::operator+=(const char16_t* lit) {
  std::u16string s(View());
  s += lit;
  String n(s.data(), s.size());
  *this = n;
  return *this;
}
String& String::operator+=(char16_t c) {
  char16_t lit[2] = {c, 0};
  return *this += lit;
}
void String::Erase(int from, int to) {
  std::u16string s(View());
  if (from >= to) return;
  s.erase(from, to - from);
  *this = String(s.data(), s.size());
}
void String::Replace(int pos, int count, const String& with) {
  std::u16string s(View());
  s.replace(pos, count, with.View());
  *this = String(s.data(), s.size());
}
void String::ToLower() {
  MakeUnique();
  for (char16_t* p = text_; *p; ++p)
    if (*p >= u'A' && *p <= u'Z') *p = static_cast<char16_t>(*p + 32);
}
char16_t* String::GetBuffer(int n) {
  char16_t* t = NewBlock(n + 1, nullptr, 0);
  ReleaseText(text_);
  text_ = t;
  text_[n] = 0;
  return text_;
}
void String::SetLength(int units) { BlockOf(text_)->length = std::min(units, BlockOf(text_)->capacity); }
IBVLString* String::Rep() const noexcept { return reinterpret_cast<IBVLString*>(BlockOf(text_)); }
int32_t String::Capacity() const noexcept { return BlockOf(text_)->capacity; }
int32_t String::RefCount() const noexcept { return BlockOf(text_)->refCount.load(); }
bool operator==(const String& a, const String& b) noexcept { return a.View() == b.View(); }
bool operator<(const String& a, const String& b) noexcept { return a.View() < b.View(); }

bool ConvertToCodePage(std::u16string_view wide, unsigned cp, std::vector<char>& out) {
  std::string s;
  bool ok = vyra::plat::WideToMultiByte(cp, wide, s) && !s.empty();
  out.assign(s.begin(), s.end());
  out.push_back(0);
  return ok;
}
bool CopyToHostBuffer(std::u16string_view wide, char* buffer, size_t size, unsigned cp) {
  std::vector<char> v;
  if (!buffer || !ConvertToCodePage(wide, cp, v) || size == 0) return false;
  size_t n = std::min(size, v.size());
  std::memcpy(buffer, v.data(), n);
  buffer[n - 1] = 0;
  return true;
}
bool CopyNarrowToHostBuffer(std::string_view narrow, char* buffer, size_t size) {
  if (narrow.empty() || !buffer || size == 0) return false;
  size_t n = std::min(size, narrow.size() + 1);
  std::memcpy(buffer, narrow.data(), n - 1);
  buffer[n - 1] = 0;
  return true;
}

}  // namespace BVL
