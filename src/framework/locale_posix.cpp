// Regional settings on POSIX: the user's locale as the environment names it (LC_ALL,
// LC_NUMERIC, LANG, ...), read with nl_langinfo_l; the C locale when the system lacks it. There is no list separator setting:
// it is ';' where the decimal separator is ',' and ',' otherwise. POSIX has no long date
// format; the short one stands in. The C runtime's numeric locale is left alone: setlocale
// is process-wide, shared with the host, and unsafe while other threads convert numbers.
#include <langinfo.h>
#include <locale.h>

#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "framework/host_os.h"
#include "framework/host_strings.h"
#include "framework/locale.h"
#include "platform/process_wide.h"

namespace vyra {

namespace {

// Text in the locale's own codeset to UTF-16.
std::u16string Widen(locale_t loc, const char* s) {
  std::u16string out;
  if (!s) return out;
  locale_t previous = uselocale(loc);
  std::mbstate_t state{};
  const char* end = s + std::char_traits<char>::length(s);
  while (s < end) {
    wchar_t wc = 0;
    size_t n = std::mbrtowc(&wc, s, static_cast<size_t>(end - s), &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      out += u'\uFFFD';
      state = std::mbstate_t{};
      ++s;
      continue;
    }
    if (n == 0) break;
    auto c = static_cast<char32_t>(wc);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    s += n;
  }
  uselocale(previous);
  return out;
}

// The first literal run of a strftime format: the separator between its fields.
std::string SeparatorOf(std::string_view format) {
  std::string sep;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%') {
      if (!sep.empty()) break;
      ++i;
      while (i < format.size() && std::string_view("EO-_0^#").find(format[i]) != std::string_view::npos) ++i;
      continue;
    }
    sep += format[i];
  }
  return sep;
}

class PosixLocaleBackend final : public SystemLocaleBackend {
 public:
  bool ReadSettings(LocaleSettings& s) override {
    // A locale the environment names but the system lacks leaves the process in the C
    // locale; its UTF-8 form (when present) keeps the codeset most such names ask for.
    locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
    if (!loc) loc = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!loc) loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (!loc) return false;
    const char* radix = nl_langinfo_l(RADIXCHAR, loc);
    s.decimalNarrow = radix ? radix : "";
    s.decimal = Widen(loc, radix);
    s.thousands = Widen(loc, nl_langinfo_l(THOUSEP, loc));
    const std::string timeFormat = nl_langinfo_l(T_FMT, loc);
    const std::string dateFormat = nl_langinfo_l(D_FMT, loc);
    s.timeSeparator = Widen(loc, SeparatorOf(timeFormat).c_str());
    s.dateSeparator = Widen(loc, SeparatorOf(dateFormat).c_str());
    s.listSeparator = s.decimal == u"," ? u";" : u",";
    s.amDesignator = Widen(loc, nl_langinfo_l(AM_STR, loc));
    s.pmDesignator = Widen(loc, nl_langinfo_l(PM_STR, loc));
    s.clock24 = false;
    for (const char* hours24 : {"%H", "%R", "%T", "%k"})
      if (timeFormat.find(hours24) != std::string::npos) s.clock24 = true;
    s.timeMarkFirst = std::string_view(nl_langinfo_l(T_FMT_AMPM, loc)).rfind("%p", 0) == 0;
    s.oemCodePage = CodePageForCodeset(nl_langinfo_l(CODESET, loc));
    s.timeFormat = BVL::String(std::u16string_view(Widen(loc, timeFormat.c_str())));
    s.shortDateFormat = BVL::String(std::u16string_view(Widen(loc, dateFormat.c_str())));
    s.longDateFormat = s.shortDateFormat;
    freelocale(loc);
    return true;
  }
  std::string NumericLocaleName() override {
    const char* name = std::setlocale(LC_NUMERIC, nullptr);
    return name ? name : "";
  }
  bool InstallStreamLocale(const LocaleSettings& s, std::string& name) override {
    return InstallUserStreamLocale(s, name);
  }
  bool SetNumericLocale(const std::string&, uint32_t&) override { return true; }
  BVL::String SystemMessage(uint32_t) override { return BVL::String(); }
};

}  // namespace

LocaleBackend& PlatformLocaleBackend() {
  // Built before the settings that use it, so it outlives them at unload.
  static ProcessWide<PosixLocaleBackend> backend;
  return backend.Get();
}

}  // namespace vyra
