#pragma once
// The process's regional settings, read through the platform and reported with the host's
// string resources and message boxes (which is why they live above support/).
#include "support/locale_info.h"

namespace vyra {

// What both platform backends do alike: host strings, message boxes, the classic locale.
class SystemLocaleBackend : public LocaleBackend {
 public:
  BVL::String HostString(unsigned id) override;
  void ShowMessage(const BVL::String& text, const BVL::String& caption) override;
  void RestoreClassicStreamLocale() override;
};

// The platform's backend (process-wide, never destroyed).
LocaleBackend& PlatformLocaleBackend();

// The process's regional settings; created, and its message shown, on the first call.
const LocaleInfo& CurrentLocaleInfo();

// The code page for text copied into the host's buffers: the user locale's OEM code page
// (0 means the ANSI code page to the conversions).
unsigned HostCodePage();

}  // namespace vyra
