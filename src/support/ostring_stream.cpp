#include "support/ostring_stream.h"

#include <array>

#include "platform/codepage.h"

namespace BVL {

namespace {

// Appends wide-stream text as UTF-16 (wchar_t is UTF-32 on some platforms).
void AppendWide(std::u16string& out, std::wstring_view w) {
  for (wchar_t wc : w) {
    auto c = static_cast<char32_t>(wc);
    if constexpr (sizeof(wchar_t) > 2) {
      if (c >= 0x10000 && c <= 0x10FFFF) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        continue;
      }
    }
    out += static_cast<char16_t>(c);
  }
}

}  // namespace

OStringStream::OStringStream() = default;

String OStringStream::str() const {
  size_t n = text_.size();
  if (n && text_[n - 1] == 0) --n;
  return String(text_.data(), n);
}

void OStringStream::Drain() {
  std::wstring formatted = format_.str();
  if (formatted.empty()) return;
  AppendWide(text_, formatted);
  format_.str(std::wstring());
}

void OStringStream::AppendPadded(std::u16string_view s) {
  std::streamsize width = format_.width();
  if (width > 0 && static_cast<size_t>(width) > s.size()) {
    std::u16string pad(static_cast<size_t>(width) - s.size(), static_cast<char16_t>(format_.fill()));
    if ((format_.flags() & std::ios_base::adjustfield) == std::ios_base::left) {
      text_ += s;
      text_ += pad;
    } else {
      text_ += pad;
      text_ += s;
    }
  } else {
    text_ += s;
  }
  format_.width(0);
}

OStringStream& OStringStream::operator<<(const char* narrow) {
  return *this << std::string_view(narrow ? narrow : "");
}

OStringStream& OStringStream::operator<<(std::string_view narrow) {
  // ASCII is the same in every ANSI code page; widen it on the stack without a conversion.
  std::array<char16_t, 128> local;
  bool ascii = narrow.size() <= local.size();
  for (size_t i = 0; ascii && i < narrow.size(); ++i) {
    auto c = static_cast<unsigned char>(narrow[i]);
    if (c >= 0x80) ascii = false;
    local[i] = c;
  }
  if (ascii) {
    AppendPadded(std::u16string_view(local.data(), narrow.size()));
  } else {
    std::u16string wide;
    vyra::plat::MultiByteToWide(vyra::plat::kCodePageThreadAnsi, narrow, wide);
    AppendPadded(wide);
  }
  return *this;
}

OStringStream& OStringStream::operator<<(const char16_t* wide) {
  return *this << (wide ? std::u16string_view(wide) : std::u16string_view());
}

OStringStream& OStringStream::operator<<(std::u16string_view wide) {
  AppendPadded(wide);
  return *this;
}

OStringStream& OStringStream::operator<<(std::wostream& (*manip)(std::wostream&)) {
  format_ << manip;
  Drain();
  return *this;
}

OStringStream& OStringStream::operator<<(std::ios_base& (*manip)(std::ios_base&)) {
  format_ << manip;
  return *this;
}

}  // namespace BVL
