// Provisional: UTF-8 for every code page. Replaced by the iconv-backed conversions.
#include "platform/codepage.h"

namespace vyra::plat {

bool WideToMultiByte(unsigned, std::u16string_view w, std::string& out) {
  out.clear();
  for (size_t i = 0; i < w.size(); ++i) {
    char32_t c = w[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) out += static_cast<char>(c);
    else if (c < 0x800) { out += static_cast<char>(0xC0 | (c >> 6)); out += static_cast<char>(0x80 | (c & 0x3F)); }
    else if (c < 0x10000) { out += static_cast<char>(0xE0 | (c >> 12)); out += static_cast<char>(0x80 | ((c >> 6) & 0x3F)); out += static_cast<char>(0x80 | (c & 0x3F)); }
    else { out += static_cast<char>(0xF0 | (c >> 18)); out += static_cast<char>(0x80 | ((c >> 12) & 0x3F)); out += static_cast<char>(0x80 | ((c >> 6) & 0x3F)); out += static_cast<char>(0x80 | (c & 0x3F)); }
  }
  return !w.empty();
}

bool MultiByteToWide(unsigned, std::string_view n, std::u16string& out) {
  out.clear();
  for (size_t i = 0; i < n.size();) {
    unsigned char c = static_cast<unsigned char>(n[i]);
    char32_t cp; int len;
    if (c < 0x80) { cp = c; len = 1; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; len = 4; }
    else { out += u'\uFFFD'; ++i; continue; }
    if (i + len > n.size()) { out += u'\uFFFD'; ++i; continue; }
    bool bad = false;
    for (int k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(n[i + k]);
      if ((cc & 0xC0) != 0x80) { bad = true; break; }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (bad) { out += u'\uFFFD'; ++i; continue; }
    if (cp >= 0x10000) { cp -= 0x10000; out += static_cast<char16_t>(0xD800 + (cp >> 10)); out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF)); }
    else out += static_cast<char16_t>(cp);
    i += len;
  }
  return !n.empty();
}

unsigned DefaultHostCodePage() { return kCodePageUtf8; }

}  // namespace vyra::plat
