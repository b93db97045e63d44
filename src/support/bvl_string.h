#pragma once
// BVL::String: the reference-counted, copy-on-write UTF-16 text used for every wide text
// in the plug-in, and the conversions that hand text to the host.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "vyra/com.h"

struct IBVLString;

namespace BVL {

// Raised by the byte-limited construction on a negative limit.
class xmsg : public std::exception {
 public:
  explicit xmsg(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

class String {
 public:
  String() noexcept;
  String(const char16_t* text);                 // NOLINT: implicit, like a literal
  String(const char16_t* text, size_t units);   // exactly `units` units, no terminator needed
  explicit String(std::u16string_view text) : String(text.data(), text.size()) {}
  explicit String(const char* narrowAnsi);      // widened from the ANSI code page
  String(const char* narrowAnsi, int byteLimit);  // stops at NUL or limit; negative: xmsg
  String(const String& other) noexcept;
  String(String&& other) noexcept;
  String& operator=(const String& other) noexcept;
  String& operator=(String&& other) noexcept;
  ~String();

  // Takes over one reference of a string object (adopted when it has our layout, copied
  // otherwise). Null gives the empty string.
  static String Adopt(IBVLString* object);

  int Length() const noexcept;                 // units, terminator not counted
  bool IsEmpty() const noexcept { return Length() == 0; }
  const char16_t* c_str() const noexcept { return text_; }
  std::u16string_view View() const noexcept { return {text_, static_cast<size_t>(Length())}; }
  char16_t operator[](int i) const noexcept { return text_[i]; }

  // ANSI copy of the text, cached until the string changes.
  const char* NarrowText();

  String& operator+=(const String& other);
  String& operator+=(const char16_t* literal);
  String& operator+=(char16_t c);
  void Erase(int from, int to);
  void Replace(int pos, int count, const String& with);
  void ToLower();
  void MakeUnique();
  void Reserve(int capacity);

  // Writable area of at least n + 1 units; the caller writes and then calls SetLength.
  char16_t* GetBuffer(int n);
  void SetLength(int unitsWithTerminator);

  // The shared representation (no reference added), for handing to COM-style callees.
  IBVLString* Rep() const noexcept;
  // The representation with one reference added, which the receiver owns.
  IBVLString* NewReference() const noexcept;

  // Block layout introspection (tests, diagnostics).
  int32_t Capacity() const noexcept;
  int32_t RefCount() const noexcept;
  bool SharesBlockWith(const String& other) const noexcept { return text_ == other.text_; }

  friend bool operator==(const String& a, const String& b) noexcept;
  friend bool operator!=(const String& a, const String& b) noexcept { return !(a == b); }
  friend bool operator<(const String& a, const String& b) noexcept;
  bool operator==(std::u16string_view other) const noexcept { return View() == other; }

 private:
  struct TakeText {};
  String(TakeText, char16_t* text) noexcept : text_(text) {}
  void Unshare();
  void AppendUnits(const char16_t* units, size_t count);
  void ReplaceUnits(int pos, int count, const char16_t* units, size_t n);

  char16_t* text_;  // points into the representation block, just after `length`
};

// Wide text to the given code page: `out` holds the converted bytes and a final 0.
bool ConvertToCodePage(std::u16string_view wide, unsigned codePage, std::vector<char>& out);
// Copies the converted text with its terminator into the host's buffer, never more than
// bufferSize bytes (cut and terminated when it does not fit). False for a null buffer,
// empty text or a failed conversion; the buffer is then left as it was.
bool CopyToHostBuffer(std::u16string_view wide, char* buffer, size_t bufferSize, unsigned codePage);
bool CopyNarrowToHostBuffer(std::string_view narrow, char* buffer, size_t bufferSize);

}  // namespace BVL

namespace BVLString {
using ::BVL::String;
}
