// Regional settings on Windows: the user's default locale through GetLocaleInfo.
#include <windows.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "framework/host_os.h"
#include "framework/host_strings.h"
#include "framework/locale.h"
#include "platform/process_wide.h"

namespace vyra {

namespace {

bool ReadText(LCTYPE type, int units, std::u16string& out) {
  std::wstring buf(static_cast<size_t>(units), L'\0');
  int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buf.data(), units);
  if (n <= 0) return false;
  out.assign(reinterpret_cast<const char16_t*>(buf.data()), static_cast<size_t>(n - 1));
  return true;
}

bool ReadFormat(LCTYPE type, BVL::String& out) {
  int size = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, nullptr, 0);
  if (size <= 0) return false;
  char16_t* buf = out.GetBuffer(size);
  int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, reinterpret_cast<wchar_t*>(buf), size);
  if (n <= 0) {
    out.SetLength(1);
    return false;
  }
  out.SetLength(n);  // the text and its terminator, within the size asked for
  return true;
}

class Win32LocaleBackend final : public SystemLocaleBackend {
 public:
  bool ReadSettings(LocaleSettings& s) override {
    char narrow[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, narrow, 8) <= 0) return false;
    s.decimalNarrow = narrow;
    std::u16string iTime, iMarkPos, codePage;
    if (!ReadText(LOCALE_SDECIMAL, 8, s.decimal) || !ReadText(LOCALE_STHOUSAND, 8, s.thousands) ||
        !ReadText(LOCALE_STIME, 8, s.timeSeparator) || !ReadText(LOCALE_SDATE, 8, s.dateSeparator) ||
        !ReadText(LOCALE_SLIST, 8, s.listSeparator) || !ReadText(LOCALE_S1159, 16, s.amDesignator) ||
        !ReadText(LOCALE_S2359, 16, s.pmDesignator) || !ReadText(LOCALE_ITIME, 8, iTime) ||
        !ReadText(LOCALE_ITIMEMARKPOSN, 8, iMarkPos) || !ReadText(LOCALE_IDEFAULTCODEPAGE, 8, codePage))
      return false;
    auto number = [](const std::u16string& t) { return std::wcstol(std::wstring(t.begin(), t.end()).c_str(), nullptr, 10); };
    s.clock24 = number(iTime) == 1;
    s.timeMarkFirst = number(iMarkPos) != 0;
    s.oemCodePage = static_cast<uint16_t>(number(codePage));
    return ReadFormat(LOCALE_STIMEFORMAT, s.timeFormat) && ReadFormat(LOCALE_SLONGDATE, s.longDateFormat) &&
           ReadFormat(LOCALE_SSHORTDATE, s.shortDateFormat);
  }
  std::string NumericLocaleName() override {
    const char* name = std::setlocale(LC_NUMERIC, nullptr);
    return name ? name : "";
  }
  bool InstallStreamLocale(const LocaleSettings& s, std::string& name) override {
    return InstallUserStreamLocale(s, name);
  }
  bool SetNumericLocale(const std::string& name, uint32_t& error) override {
    if (std::setlocale(LC_NUMERIC, name.c_str())) return true;
    error = GetLastError();
    return false;
  }
  BVL::String SystemMessage(uint32_t error) override {
    return BVL::String(std::u16string_view(SystemMessageText(error, 511)));
  }
};

}  // namespace

LocaleBackend& PlatformLocaleBackend() {
  // Built before the settings that use it, so it outlives them at unload.
  static ProcessWide<Win32LocaleBackend> backend;
  return backend.Get();
}

}  // namespace vyra
