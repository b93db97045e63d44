// Auto-reset event on an eventfd: poll() can wait on it together with the tty.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/event.h"

namespace vyra::plat {

Event::Event() : native_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool Event::Valid() const { return native_ >= 0; }

Event::~Event() {
  if (native_ >= 0) close(static_cast<int>(native_));
}

void Event::Set() {
  const uint64_t one = 1;
  // EAGAIN only when the counter is saturated, i.e. already set.
  while (write(static_cast<int>(native_), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Event::Reset() {
  uint64_t value;
  while (read(static_cast<int>(native_), &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool Event::Wait(int timeoutMs) {
  if (native_ < 0) return false;
  pollfd p{static_cast<int>(native_), POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (r < 0 && errno == EINTR) continue;  // a signal: the caller's budget is short anyway
    if (r <= 0) return false;
    uint64_t value;
    if (read(static_cast<int>(native_), &value, sizeof value) == sizeof value) return true;
    // Another waiter took it first; an auto-reset event wakes one waiter.
    if (timeoutMs == 0) return false;
  }
}

}  // namespace vyra::plat
