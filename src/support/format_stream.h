#pragma once
// BVL::OFormatStream fills the numbered placeholders %1 to %20 of a message template with the
// values inserted into it, in argument order: the first value inserted is %1, the next %2.
//
// Template rules: "%%" is a literal '%' (written as one '%' when the template has
// placeholders; a template without placeholders is written unchanged, "%%" included);
// a '\' right after a placeholder number is swallowed, so "%1\0" is argument 1 followed by
// "0"; '%' not followed by a number from 1 is literal text; a number used twice receives its
// text only at its last occurrence. The output is written once, when as many values have been
// inserted as the highest placeholder number; values inserted after that change nothing.
// Numbers above 20 and more than 20 placeholders are not supported.
#include <array>
#include <concepts>
#include <cstdint>
#include <ios>
#include <string>
#include <string_view>
#include <type_traits>

#include "support/bvl_string.h"
#include "support/ostring_stream.h"

namespace BVL {

class OFormatStream {
 public:
  static constexpr int kMaxPlaceholders = 20;

  // `out` receives the formatted text and must outlive this stream.
  OFormatStream(const String& format, OStringStream& out);
  OFormatStream(const OFormatStream&) = delete;
  OFormatStream& operator=(const OFormatStream&) = delete;

  // Each value (number, text, string) supplies the next argument.
  template <class T>
    requires requires(OStringStream& s, const T& v) { s << v; }
  OFormatStream& operator<<(const T& value) {
    collector_ << value;
    if constexpr (IsValue<T>()) ArgumentDone();
    return *this;
  }
  // Manipulators shape the next value and supply no argument.
  OFormatStream& operator<<(std::ios_base& (*manip)(std::ios_base&)) {
    collector_ << manip;
    return *this;
  }

 private:
  // Values are numbers and texts; everything else a stream accepts (std::setw, ...) is a
  // manipulator.
  template <class T>
  static constexpr bool IsValue() {
    using D = std::decay_t<T>;
    return std::is_arithmetic_v<D> || std::is_pointer_v<D> || std::same_as<D, String> ||
           std::same_as<D, std::string> || std::same_as<D, std::string_view> ||
           std::same_as<D, std::u16string> || std::same_as<D, std::u16string_view>;
  }

  struct Placeholder {
    size_t start = 0;          // the '%'
    size_t end = 0;            // just after the number and an optional '\'
    size_t argOffset = 0;      // in the collector
    size_t argLength = 0;
    bool runHasEscape = false; // the literal run before it contains "%%"
  };

  void Parse();
  void ArgumentDone();
  void WriteOutput();
  void WriteRun(size_t from, size_t to, bool unescape);

  String format_;
  OStringStream& out_;
  OStringStream collector_;
  size_t argStart_ = 0;
  std::array<Placeholder, kMaxPlaceholders> table_{};
  std::array<int, kMaxPlaceholders> argMap_{};
  int highest_ = 0;
  int nextArg_ = 0;
  int count_ = 0;
  bool trailingEscape_ = false;
};

// A format stream that owns its output.
class OFormatStringStream : private OStringStream, public OFormatStream {
 public:
  explicit OFormatStringStream(const String& format)
      : OStringStream(), OFormatStream(format, static_cast<OStringStream&>(*this)) {}
  String str() const { return OStringStream::str(); }
  using OFormatStream::operator<<;
};

}  // namespace BVL
