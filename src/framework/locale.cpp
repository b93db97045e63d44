#include "framework/locale.h"

#include "framework/host_os.h"
#include "framework/host_strings.h"
#include "platform/process_wide.h"

namespace vyra {

const LocaleInfo& CurrentLocaleInfo() {
  // Destroyed (the classic stream locale put back) only after the devices are closed.
  static ProcessWide<LocaleInfo> info(PlatformLocaleBackend());
  // Outside the creation guard: other threads get the settings while a message is up.
  info.Get().ShowPendingMessage();
  return info.Get();
}

unsigned HostCodePage() { return CurrentLocaleInfo().oemCodePage; }

BVL::String SystemLocaleBackend::HostString(unsigned id) { return LoadHostString(nullptr, id, true); }

void SystemLocaleBackend::ShowMessage(const BVL::String& text, const BVL::String& caption) {
  ShowUserMessage(text.View(), caption.View(), MessageKind::TaskModal);
}

void SystemLocaleBackend::RestoreClassicStreamLocale() { vyra::RestoreClassicStreamLocale(); }

}  // namespace vyra
