#include <windows.h>

#include "platform/event.h"

namespace vyra::plat {

Event::Event() : native_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, FALSE, FALSE, nullptr))) {}

bool Event::Valid() const { return native_ != 0; }

Event::~Event() {
  if (native_) CloseHandle(reinterpret_cast<HANDLE>(native_));
}

void Event::Set() { SetEvent(reinterpret_cast<HANDLE>(native_)); }

void Event::Reset() { ResetEvent(reinterpret_cast<HANDLE>(native_)); }

bool Event::Wait(int timeoutMs) {
  if (!native_) return false;
  DWORD ms = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  return WaitForSingleObject(reinterpret_cast<HANDLE>(native_), ms) == WAIT_OBJECT_0;
}

}  // namespace vyra::plat
