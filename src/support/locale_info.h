#pragma once
// The user's regional settings, read once per process, and the code page for host text.
#include <atomic>
#include <cstdint>
#include <locale>
#include <string>
#include <string_view>

#include "support/bvl_string.h"

namespace vyra {

// The settings as read from the system. Text fields stay empty and flags false when a read
// fails; a code page that was not read stays 0 (the ANSI code page to the conversions).
struct LocaleSettings {
  std::string decimalNarrow;
  std::u16string decimal;
  std::u16string thousands;
  std::u16string timeSeparator;
  std::u16string dateSeparator;
  std::u16string listSeparator;
  std::u16string amDesignator;
  std::u16string pmDesignator;
  BVL::String timeFormat;
  BVL::String shortDateFormat;
  BVL::String longDateFormat;
  unsigned oemCodePage = 0;
  bool clock24 = false;
  bool timeMarkFirst = false;
};

// The system services LocaleInfo uses; one implementation per platform, fakes in tests.
class LocaleBackend {
 public:
  virtual ~LocaleBackend() = default;
  // Fills `out` in order; false as soon as one read fails (fields read before stay filled).
  virtual bool ReadSettings(LocaleSettings& out) = 0;
  // The C runtime's current numeric locale name.
  virtual std::string NumericLocaleName() = 0;
  // Makes the user's locale, printing numbers without grouping, the global stream locale.
  // `name` receives the locale name the runtime should use for its numeric conversions.
  virtual bool InstallStreamLocale(const LocaleSettings& s, std::string& name) = 0;
  // Sets the runtime's numeric locale; on failure `error` is the system's error code.
  virtual bool SetNumericLocale(const std::string& name, uint32_t& error) = 0;
  virtual BVL::String SystemMessage(uint32_t error) = 0;
  // Host string resource with product names put in; empty when the host has none.
  virtual BVL::String HostString(unsigned id) = 0;
  virtual void ShowMessage(const BVL::String& text, const BVL::String& caption) = 0;
  virtual void RestoreClassicStreamLocale() = 0;
};


// Host string resources of the regional-settings warnings.
inline constexpr unsigned kLocaleCaptionId = 20007;
inline constexpr unsigned kLocaleReadFailedId = 20008;
inline constexpr unsigned kDateSepIsDecimalId = 20009;
inline constexpr unsigned kListSepIsDecimalId = 20010;
inline constexpr unsigned kOddDecimalId = 20011;    // %1 separator, %2 its units in hex
inline constexpr unsigned kNumericLocaleFirstId = 20012;  // ..20017 for errors 0x20000101..6
inline constexpr unsigned kNumericLocaleOtherId = 20018;  // %1 the system's text

struct LocaleWarning {
  unsigned stringId = 0;  // 0: no warning
  std::u16string arg1, arg2;
};

// The warning about the decimal separator, if any (a later check replaces an earlier one).
LocaleWarning ChooseLocaleWarning(std::u16string_view decimal, std::u16string_view dateSeparator,
                                  std::u16string_view listSeparator);

class LocaleInfo : public LocaleSettings {
 public:
  // Reads the settings and, when the runtime's numeric locale is still "C", installs the
  // user's locale (no digit grouping) as the global stream locale. A message for the user
  // is kept for ShowPendingMessage, so that no lock is held while it is on screen.
  explicit LocaleInfo(LocaleBackend& backend);
  ~LocaleInfo();
  LocaleInfo(const LocaleInfo&) = delete;
  LocaleInfo& operator=(const LocaleInfo&) = delete;

  // Shows the kept message once (nothing when its text is empty).
  void ShowPendingMessage();

  bool localeInstalled = false;
  bool readFailed = false;
  BVL::String pendingText;
  BVL::String pendingCaption;

 private:
  LocaleBackend& backend_;
  std::atomic<bool> shown_{false};
};


// Builds and installs the global stream locale from the user's default locale; used by
// the platform backends. Returns the name for the runtime's numeric locale.
bool InstallUserStreamLocale(const LocaleSettings& s, std::string& name);
// Makes the classic locale's conventions global again without touching the C runtime's
// locale (the classic locale has a name, and installing a named locale calls setlocale).
void RestoreClassicStreamLocale();

// The Windows code page number of a POSIX codeset name ("UTF-8" -> 65001, "ISO-8859-1" ->
// 28591, "CP1252" -> 1252); plain ASCII maps to UTF-8, its superset; 0 when unknown.
unsigned CodePageForCodeset(std::string_view codeset);

// Numbers without digit grouping; decimal point and separator of the named locale.
template <class CharT>
class NoThousandsSep : public std::numpunct_byname<CharT> {
 public:
  explicit NoThousandsSep(const char* name, size_t refs = 0) : std::numpunct_byname<CharT>(name, refs) {}

 protected:
  std::string do_grouping() const override { return std::string(); }
};

// As NoThousandsSep, with the user's decimal point and separator instead of the named
// locale's (for runtimes that cannot build the user's locale by name).
template <class CharT>
class CRTBug_UserRadix_NoThousandsSep : public NoThousandsSep<CharT> {
 public:
  CRTBug_UserRadix_NoThousandsSep(const char* name, CharT decimalPoint, CharT thousandsSep, size_t refs = 0)
      : NoThousandsSep<CharT>(name, refs), decimalPoint_(decimalPoint), thousandsSep_(thousandsSep) {}

 protected:
  CharT do_decimal_point() const override { return decimalPoint_; }
  CharT do_thousands_sep() const override { return thousandsSep_; }

 private:
  CharT decimalPoint_;
  CharT thousandsSep_;
};

// The classic locale with the user's separators for narrow and wide numbers and no digit
// grouping: what the user's named locale gives, for runtimes that cannot build it by name
// (mingw's knows only "C").
std::locale UserRadixLocale(const LocaleSettings& s);

}  // namespace vyra
