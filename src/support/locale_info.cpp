#include "support/locale_info.h"

#include <atomic>
#include <clocale>
#include <cstdio>
#include <stdexcept>

#include "support/format_stream.h"

namespace vyra {

namespace {

BVL::String FillTemplate(const BVL::String& templ, const BVL::String& a1, const BVL::String& a2) {
  BVL::OFormatStringStream f(templ);
  f << a1 << a2;
  return f.str();
}

wchar_t WidePoint(const LocaleSettings& s) { return s.decimal.empty() ? L'.' : static_cast<wchar_t>(s.decimal[0]); }
wchar_t WideSeparator(const LocaleSettings& s) {
  return s.thousands.empty() ? L',' : static_cast<wchar_t>(s.thousands[0]);
}

}  // namespace

LocaleWarning ChooseLocaleWarning(std::u16string_view decimal, std::u16string_view dateSeparator,
                                  std::u16string_view listSeparator) {
  LocaleWarning w;
  if (dateSeparator == decimal) w.stringId = kDateSepIsDecimalId;
  if (listSeparator == decimal) w.stringId = kListSepIsDecimalId;
  if (decimal.size() > 1 || (decimal != u"." && decimal != u",")) {
    w.stringId = kOddDecimalId;
    w.arg1 = decimal;
    for (char16_t u : decimal) {
      char hex[8];
      std::snprintf(hex, sizeof hex, " %x", static_cast<unsigned>(u));
      for (const char* p = hex; *p; ++p) w.arg2 += static_cast<char16_t>(*p);
    }
  }
  return w;
}

LocaleInfo::LocaleInfo(LocaleBackend& backend) : backend_(backend) {
  if (!backend.ReadSettings(*this)) {
    readFailed = true;
    pendingText = backend.HostString(kLocaleReadFailedId);
    pendingCaption = backend.HostString(kLocaleCaptionId);
    return;
  }
  // A host (or another module) that chose its own numeric conventions keeps them.
  if (backend.NumericLocaleName() != "C") return;

  std::string name;
  if (!backend.InstallStreamLocale(*this, name)) return;
  localeInstalled = true;

  BVL::String text;
  LocaleWarning w = ChooseLocaleWarning(decimal, dateSeparator, listSeparator);
  if (w.stringId == kOddDecimalId) {
    text = FillTemplate(backend.HostString(kOddDecimalId), BVL::String(std::u16string_view(w.arg1)),
                        BVL::String(std::u16string_view(w.arg2)));
  } else if (w.stringId != 0) {
    text = backend.HostString(w.stringId);
  }

  uint32_t error = 0;
  if (!backend.SetNumericLocale(name, error)) {
    if (error >= 0x20000101u && error <= 0x20000106u) {
      text = backend.HostString(kNumericLocaleFirstId + (error - 0x20000101u));
    } else {
      text = FillTemplate(backend.HostString(kNumericLocaleOtherId), backend.SystemMessage(error), BVL::String());
    }
  }
  if (!text.IsEmpty()) {
    pendingText = text;
    pendingCaption = backend.HostString(kLocaleCaptionId);
  }
}

LocaleInfo::~LocaleInfo() {
  if (localeInstalled) backend_.RestoreClassicStreamLocale();
}

void LocaleInfo::ShowPendingMessage() {
  if (pendingText.IsEmpty()) return;
  if (shown_.exchange(true)) return;
  backend_.ShowMessage(pendingText, pendingCaption);
}

bool InstallUserStreamLocale(const LocaleSettings& s, std::string& name) {
  // Facets of a combined locale make it nameless, so installing it never calls setlocale.
  try {
    std::locale user("");
    std::locale loc(user, new NoThousandsSep<wchar_t>(""));
    loc = std::locale(loc, new NoThousandsSep<char>(""));
    std::locale::global(loc);
    name = "";
    return true;
  } catch (const std::runtime_error&) {
  }
  try {
    std::locale english("English");
    std::locale loc(english, new CRTBug_UserRadix_NoThousandsSep<wchar_t>("English", WidePoint(s), WideSeparator(s)));
    std::locale::global(loc);
    name = "English";
    return true;
  } catch (const std::runtime_error&) {
  }
  try {
    std::locale::global(UserRadixLocale(s));
    name = "";
    return true;
  } catch (const std::exception&) {
  }
  return false;
}

std::locale UserRadixLocale(const LocaleSettings& s) {
  const wchar_t sep = WideSeparator(s);
  // Narrow numbers are ANSI text: a separator that takes more than one byte there has no
  // narrow form. The thousands separator is never written without grouping.
  const char narrowPoint = s.decimalNarrow.size() == 1 ? s.decimalNarrow[0] : '.';
  const char narrowSep = sep > 0 && sep < 0x80 ? static_cast<char>(sep) : ' ';
  std::locale loc(std::locale::classic(), new CRTBug_UserRadix_NoThousandsSep<wchar_t>("C", WidePoint(s), sep));
  return std::locale(loc, new CRTBug_UserRadix_NoThousandsSep<char>("C", narrowPoint, narrowSep));
}

void RestoreClassicStreamLocale() {
  std::locale::global(std::locale(std::locale::classic(), new std::numpunct<wchar_t>()));
}

unsigned CodePageForCodeset(std::string_view codeset) {
  std::string c;
  for (char ch : codeset) {
    if (ch == '-' || ch == '_' || ch == ' ') continue;
    c += (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
  }
  auto number = [](std::string_view digits) -> unsigned {
    if (digits.empty() || digits.size() > 5) return 0;
    unsigned n = 0;
    for (char d : digits) {
      if (d < '0' || d > '9') return 0;
      n = n * 10 + static_cast<unsigned>(d - '0');
    }
    return n;
  };
  struct Named {
    const char* name;
    unsigned codePage;
  };
  static constexpr Named kNamed[] = {
      {"UTF8", 65001},     {"ANSIX3.41968", 65001}, {"ASCII", 65001},   {"USASCII", 65001},
      {"KOI8R", 20866},    {"KOI8U", 21866},        {"EUCJP", 20932},   {"SHIFTJIS", 932},
      {"SJIS", 932},       {"GB2312", 936},         {"GBK", 936},       {"GB18030", 54936},
      {"BIG5", 950},       {"BIG5HKSCS", 951},      {"EUCKR", 51949},   {"TIS620", 874},
  };
  for (const Named& n : kNamed)
    if (c == n.name) return n.codePage;
  if (c.rfind("ISO8859", 0) == 0) {
    unsigned part = number(std::string_view(c).substr(7));
    if (part >= 1 && part <= 16 && part != 12) return 28590 + part;
    return 0;
  }
  if (c.rfind("WINDOWS", 0) == 0) return number(std::string_view(c).substr(7));
  if (c.rfind("CP", 0) == 0) return number(std::string_view(c).substr(2));
  if (c.rfind("IBM", 0) == 0) return number(std::string_view(c).substr(3));
  return 0;
}

}  // namespace vyra
