#pragma once
// BVL::OStringStream: a wide text stream whose result is a BVL::String.
//
// Numbers and manipulators are formatted by a standard wide stream that carries the global
// stream locale of the moment the OStringStream is created (so the decimal separator and the
// absence of digit grouping follow the installed locale). The text itself is kept as UTF-16
// on every platform: narrow text is widened from the thread's ANSI code page, char16_t text
// and BVL::String are appended unchanged. Every insertion returns the OStringStream itself,
// so narrow text anywhere in a chain is widened the same way.
#include <concepts>
#include <cstddef>
#include <ios>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "support/bvl_string.h"

namespace BVL {

class OStringStream {
 public:
  OStringStream();
  OStringStream(const OStringStream&) = delete;
  OStringStream& operator=(const OStringStream&) = delete;

  // The text so far. A final 0 unit (written by std::ends) is the terminator, not text:
  // "abc" followed by std::ends and "abc" alone both give a string of length 3.
  // The stream keeps its text; later insertions append to it.
  String str() const;

  // The units written so far, a final std::ends included.
  std::u16string_view View() const noexcept { return text_; }
  size_t Position() const noexcept { return text_.size(); }

  // Narrow text (ANSI of the calling thread).
  OStringStream& operator<<(const char* narrow);
  OStringStream& operator<<(std::string_view narrow);
  OStringStream& operator<<(const std::string& narrow) { return *this << std::string_view(narrow); }
  OStringStream& operator<<(char c) { return *this << std::string_view(&c, 1); }
  // Wide text, appended as it is.
  OStringStream& operator<<(const char16_t* wide);
  OStringStream& operator<<(std::u16string_view wide);
  OStringStream& operator<<(const std::u16string& wide) { return *this << std::u16string_view(wide); }
  OStringStream& operator<<(char16_t c) { return *this << std::u16string_view(&c, 1); }
  OStringStream& operator<<(const String& s) { return *this << s.View(); }

  // Stream manipulators (std::ends, std::endl, std::hex, ...).
  OStringStream& operator<<(std::wostream& (*manip)(std::wostream&));
  OStringStream& operator<<(std::ios_base& (*manip)(std::ios_base&));

  // Numbers, bool, and parameterised manipulators (std::setw, std::setprecision, ...):
  // whatever the standard wide stream formats.
  template <class T>
    requires(!std::is_pointer_v<std::decay_t<T>> && !std::same_as<std::decay_t<T>, char> &&
             !std::same_as<std::decay_t<T>, char16_t> &&
             requires(std::wostream& os, const T& v) { os << v; })
  OStringStream& operator<<(const T& value) {
    format_ << value;
    Drain();
    return *this;
  }

  // The formatting stream: width, fill, precision and flags live here.
  std::wostream& Format() noexcept { return format_; }

 private:
  void Drain();                              // moves formatted output into text_
  void AppendPadded(std::u16string_view s);  // honours a pending width for text

  std::wostringstream format_;
  std::u16string text_;
};

}  // namespace BVL
