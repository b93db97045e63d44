// The parts of the interface walk every backend shares.
#include "platform/port_enum.h"

namespace vyra::plat {

bool DevRegEnum::MoveNext() {
  if (nextIndex < 0) return false;
  if (LoadItem(nextIndex)) {
    ++nextIndex;
    return true;
  }
  CloseSet();
  nextIndex = -1;
  return false;
}

void DevRegEnum::TrimInstanceId(std::u16string& text, char16_t c) {
  size_t last = text.rfind(c);
  if (last != std::u16string::npos) text.erase(0, last + 1);
  size_t slash = text.find(u'\\');
  if (slash != std::u16string::npos) text.erase(slash);
}

}  // namespace vyra::plat
