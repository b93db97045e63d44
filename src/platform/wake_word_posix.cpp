#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/hot_path.h"
#include "platform/wake_word.h"

namespace vyra::plat {
namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is the atomic itself");

uint32_t* Word(const std::atomic<uint32_t>& word) {
  return const_cast<uint32_t*>(reinterpret_cast<const volatile uint32_t*>(&word));
}

}  // namespace

VYRA_PLATFORM_HOT_PATH bool WaitWhileEqual(const std::atomic<uint32_t>& word, uint32_t seen, std::chrono::steady_clock::time_point deadline) {
  // steady_clock is CLOCK_MONOTONIC, the clock FUTEX_WAIT_BITSET takes its absolute time on,
  // so the wait reads no clock and never ends before the deadline.
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  if (ns < 0) return false;
  const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  if (syscall(SYS_futex, Word(word), FUTEX_WAIT_BITSET_PRIVATE, seen, &at, nullptr, FUTEX_BITSET_MATCH_ANY) == 0)
    return true;
  if (errno == EAGAIN || errno == EINTR) return true;
  if (errno == ETIMEDOUT) return false;
  // A kernel that refuses the futex: sleep to the deadline rather than let the caller spin.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
  return false;
}

VYRA_PLATFORM_HOT_PATH void WakeAll(const std::atomic<uint32_t>& word) {
  syscall(SYS_futex, Word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace vyra::plat
