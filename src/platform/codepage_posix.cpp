// Code pages on POSIX. The ANSI code pages and 65001 are UTF-8, converted here by hand:
// every text crossing the device line and the log goes this way and it must not allocate
// per character or fail. Other code pages go through iconv under the name it knows them by.
#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/process_wide.h"

namespace vyra::plat {

namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr char kDefaultChar = '?';

bool IsHigh(char16_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

void EncodeUtf8(std::u16string_view w, std::string& out) {
  out.clear();
  out.reserve(w.size() * 3);
  for (size_t i = 0; i < w.size(); ++i) {
    char32_t c = w[i];
    if (IsHigh(w[i]) && i + 1 < w.size() && IsLow(w[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
      ++i;
    } else if (IsHigh(w[i]) || IsLow(w[i])) {
      c = kReplacement;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

// Strict decoding: overlong forms, encoded surrogates and values above U+10FFFF are invalid;
// each maximal invalid subpart becomes one U+FFFD.
void DecodeUtf8(std::string_view n, std::u16string& out) {
  out.clear();
  out.reserve(n.size());
  const auto* b = reinterpret_cast<const unsigned char*>(n.data());
  const size_t size = n.size();
  size_t i = 0;
  while (i < size) {
    unsigned char c = b[i];
    if (c < 0x80) {
      out += static_cast<char16_t>(c);
      ++i;
      continue;
    }
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    size_t j = i + 1;
    int got = 0;
    while (got < need && j < size && b[j] >= lo && b[j] <= hi) {
      cp = (cp << 6) | (b[j] & 0x3F);
      lo = 0x80;
      hi = 0xBF;
      ++j;
      ++got;
    }
    i = j;
    if (got < need) {
      out += kReplacement;
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
}

bool IsUtf8(unsigned codePage) {
  return codePage == kCodePageAnsi || codePage == kCodePageThreadAnsi || codePage == kCodePageUtf8;
}

// iconv's name for a Windows code page; empty when it has none. glibc knows most code pages
// as "CP<n>"; those below it knows only by their standard's name.
std::string IconvName(unsigned codePage) {
  if (codePage >= 28591 && codePage <= 28606 && codePage != 28602)  // there is no ISO-8859-12
    return "ISO-8859-" + std::to_string(codePage - 28590);
  switch (codePage) {
    case 2: return "MACINTOSH";
    case 951: return "BIG5-HKSCS";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 20932: return "EUC-JP";
    case 21866: return "KOI8-U";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 1200: case 1201: case 12000: case 12001: case 65000: return {};  // not narrow code pages
    default: return "CP" + std::to_string(codePage);
  }
}

const char* WideName() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }

// Open conversion descriptors are kept for reuse: opening one loads tables, and a descriptor
// carries shift state, so each is used by one thread at a time.
class IconvPool {
 public:
  ~IconvPool() {
    for (auto& [key, list] : free_)
      for (iconv_t cd : list) iconv_close(cd);
  }
  iconv_t Acquire(unsigned codePage, bool toNarrow) {
    const uint64_t key = (static_cast<uint64_t>(codePage) << 1) | (toNarrow ? 1 : 0);
    {
      std::lock_guard lock(mutex_);
      auto& list = free_[key];
      if (!list.empty()) {
        iconv_t cd = list.back();
        list.pop_back();
        return cd;
      }
    }
    std::string name = IconvName(codePage);
    if (name.empty()) return reinterpret_cast<iconv_t>(-1);
    return toNarrow ? iconv_open(name.c_str(), WideName()) : iconv_open(WideName(), name.c_str());
  }
  void Return(unsigned codePage, bool toNarrow, iconv_t cd) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
    const uint64_t key = (static_cast<uint64_t>(codePage) << 1) | (toNarrow ? 1 : 0);
    std::lock_guard lock(mutex_);
    auto& list = free_[key];
    if (list.size() < kKeepPerCodePage) {
      list.push_back(cd);
      return;
    }
    iconv_close(cd);
  }

 private:
  static constexpr size_t kKeepPerCodePage = 4;
  std::mutex mutex_;
  std::map<uint64_t, std::vector<iconv_t>> free_;
};

IconvPool& Pool() {
  static ProcessWide<IconvPool> pool;  // reader threads convert until the unload hook stops them
  return pool.Get();
}

// Runs the whole input through iconv. `skipBad` tells how many input bytes an unconvertible
// character at the given position takes; `bad` is what is written for it.
template <typename SkipBad>
bool RunIconv(iconv_t cd, const char* in, size_t inLeft, std::string& out, std::string_view bad,
              SkipBad skipBad) {
  out.assign(inLeft * 2 + 16, '\0');
  size_t used = 0;
  auto room = [&](size_t need) {
    if (out.size() - used < need) out.resize(std::max(out.size() * 2, used + need));
  };
  char* inPtr = const_cast<char*>(in);
  while (inLeft > 0) {
    room(16);
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    used = static_cast<size_t>(outPtr - out.data());
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else if (errno == EILSEQ || errno == EINVAL) {
      room(bad.size());
      std::memcpy(out.data() + used, bad.data(), bad.size());
      used += bad.size();
      // EINVAL: the input ends inside a character.
      size_t skip = errno == EINVAL ? inLeft : std::min(inLeft, skipBad(inPtr, inLeft));
      inPtr += skip;
      inLeft -= skip;
    } else {
      return false;
    }
  }
  while (true) {  // a closing shift sequence, for stateful code pages
    room(16);
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    size_t r = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    used = static_cast<size_t>(outPtr - out.data());
    if (r != static_cast<size_t>(-1)) break;
    if (errno != E2BIG) return false;
    out.resize(out.size() * 2);
  }
  out.resize(used);
  return true;
}

}  // namespace

bool WideToMultiByte(unsigned codePage, std::u16string_view wide, std::string& out) {
  out.clear();
  if (codePage == 1) codePage = DefaultHostCodePage();  // CP_OEMCP
  if (IsUtf8(codePage)) {
    if (wide.empty()) return false;
    EncodeUtf8(wide, out);
    return true;
  }
  iconv_t cd = Pool().Acquire(codePage, true);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  if (wide.empty()) {
    Pool().Return(codePage, true, cd);
    return false;
  }
  // An unmappable pair takes 4 bytes, anything else one unit.
  auto skip = [](const char* p, size_t left) -> size_t {
    char16_t c[2] = {0, 0};
    std::memcpy(c, p, std::min<size_t>(left, 4) & ~size_t{1});
    return left >= 4 && IsHigh(c[0]) && IsLow(c[1]) ? 4 : 2;
  };
  bool ok = RunIconv(cd, reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(char16_t), out,
                     std::string_view(&kDefaultChar, 1), skip);
  Pool().Return(codePage, true, cd);
  if (!ok) out.clear();
  return ok && !out.empty();
}

bool MultiByteToWide(unsigned codePage, std::string_view narrow, std::u16string& out) {
  out.clear();
  if (codePage == 1) codePage = DefaultHostCodePage();
  if (IsUtf8(codePage)) {
    if (narrow.empty()) return false;
    DecodeUtf8(narrow, out);
    return true;
  }
  iconv_t cd = Pool().Acquire(codePage, false);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  if (narrow.empty()) {
    Pool().Return(codePage, false, cd);
    return false;
  }
  static constexpr char16_t kBad[1] = {kReplacement};
  std::string bytes;
  bool ok = RunIconv(cd, narrow.data(), narrow.size(), bytes,
                     std::string_view(reinterpret_cast<const char*>(kBad), sizeof kBad),
                     [](const char*, size_t) -> size_t { return 1; });
  Pool().Return(codePage, false, cd);
  if (!ok) return false;
  out.resize(bytes.size() / sizeof(char16_t));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(char16_t));
  return !out.empty();
}

bool CodePageIsUtf8(unsigned codePage) {
  return IsUtf8(codePage == 1 ? DefaultHostCodePage() : codePage);
}

void LowerInPlace(char16_t* text, size_t capacity) {
  for (size_t i = 0; i < capacity && text[i]; ++i) {
    char16_t c = text[i];
    if (IsHigh(c) || IsLow(c)) continue;
    std::wint_t lower = std::towlower(static_cast<std::wint_t>(c));
    if (lower < 0x10000) text[i] = static_cast<char16_t>(lower);
  }
}

// The locale's codeset when the process has chosen a locale; the C locale's ASCII, or a
// codeset without a Windows number, keeps UTF-8.
unsigned DefaultHostCodePage() { return CodePageOfCodeset(nl_langinfo(CODESET)); }

unsigned CodePageOfCodeset(const char* codeset) {
  if (!codeset) return kCodePageUtf8;
  std::string name;
  for (const char* p = codeset; *p; ++p)
    if (*p != '-' && *p != '_') name += static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 32 : *p);
  auto numberAfter = [&](std::string_view prefix) -> unsigned {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return 0;
    unsigned n = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9' || n > 100000) return 0;
      n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
  };
  if (unsigned n = numberAfter("ISO8859")) return n == 13 ? 28603 : n == 15 ? 28605 : n <= 9 ? 28590 + n : kCodePageUtf8;
  for (std::string_view prefix : {"CP", "IBM", "WINDOWS"})
    if (unsigned n = numberAfter(prefix)) return n;
  if (name == "KOI8R") return 20866;
  if (name == "KOI8U") return 21866;
  return kCodePageUtf8;
}

}  // namespace vyra::plat
