// POSIX: the host's executable carries no string resources; this module's table is
// embedded at build time. Messages for the user are one line on standard error.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/host_os.h"
#include "framework/log_internal.h"
#include "platform/codepage.h"
#include "platform/embedded_resources.h"

namespace vyra {

namespace {
char g_ownModuleTag;
}

ModuleHandle OwnModule() noexcept { return &g_ownModuleTag; }

std::span<const std::byte> FindStringBlock(ModuleHandle module, unsigned block) {
  if (module != OwnModule()) return {};
  return plat::FindEmbeddedResource(6, block);  // RT_STRING: id is the block number
}

std::u16string SystemMessageText(uint32_t, size_t) { return std::u16string(); }

bool MessageBoxesDisabled() noexcept {
  const char* v = std::getenv("VYRA_NO_MSGBOX");
  return v && *v && std::strcmp(v, "0") != 0;
}

void ShowUserMessage(std::u16string_view text, std::u16string_view caption, MessageKind) noexcept {
  try {
    std::u16string line(caption);
    line += u": ";
    line += text;
    std::string s;
    plat::WideToMultiByte(plat::kCodePageUtf8, line, s);
    s += '\n';
    // Whichever thread asks, a reader's included: a full pipe never holds it up.
    WriteWithoutStalling(STDERR_FILENO, s);
  } catch (...) {
  }
}

}  // namespace vyra
