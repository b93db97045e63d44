#include <windows.h>

#include <string.h>
#include <wchar.h>

#include "platform/codepage.h"

namespace vyra::plat {

bool WideToMultiByte(unsigned codePage, std::u16string_view wide, std::string& out) {
  out.clear();
  if (wide.empty()) return false;
  auto* w = reinterpret_cast<const wchar_t*>(wide.data());
  int n = WideCharToMultiByte(codePage, 0, w, static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  n = WideCharToMultiByte(codePage, 0, w, static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return n > 0;
}

bool MultiByteToWide(unsigned codePage, std::string_view narrow, std::u16string& out) {
  out.clear();
  if (narrow.empty()) return false;
  int n = MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  n = MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()),
                          reinterpret_cast<wchar_t*>(out.data()), n);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return n > 0;
}

bool CodePageIsUtf8(unsigned codePage) {
  switch (codePage) {
    case CP_ACP: return GetACP() == CP_UTF8;
    case CP_OEMCP: return GetOEMCP() == CP_UTF8;
    case CP_THREAD_ACP: {
      wchar_t cp[8] = {};
      return GetLocaleInfoW(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, cp, 8) > 0 && wcscmp(cp, L"65001") == 0;
    }
    default: return codePage == CP_UTF8;
  }
}

void LowerInPlace(char16_t* text, size_t capacity) {
  // The text is terminated within its capacity, which is all _wcslwr_s asks.
  _wcslwr_s(reinterpret_cast<wchar_t*>(text), capacity);
}

unsigned DefaultHostCodePage() { return GetOEMCP(); }

}  // namespace vyra::plat
