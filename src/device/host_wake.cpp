#include "device/host_wake.h"

#include <chrono>

#include "platform/wake_word.h"
#include "support/hot_path.h"

namespace vyra {

// The sequence is raised before the waiter count is read, and a waiter registers before it
// tests the sequence (both sequentially consistent), so either the notifier sees the waiter
// or the waiter sees the new sequence. With no waiter a notification costs one atomic add
// and one load. The sleep is on the sequence itself, not a condition variable: a waiter
// woken for a line then takes no lock, whose release would cost a second system call.
VYRA_HOT_PATH void HostWake::Notify() {
  sequence_.fetch_add(1, std::memory_order_seq_cst);
  if (waiters_.load(std::memory_order_seq_cst) == 0) return;
  plat::WakeAll(sequence_);
}

VYRA_HOT_PATH uint32_t HostWake::WaitUntil(uint32_t seenSequence, int64_t deadlineMs) {
  // NowMs counts this clock's whole milliseconds, so a deadline taken as NowMs() + limit may
  // have started up to a millisecond before the call; waiting to the end of the deadline's
  // millisecond keeps every wait at least as long as its limit.
  const std::chrono::steady_clock::time_point deadline{std::chrono::milliseconds(deadlineMs + 1)};
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  while (sequence_.load(std::memory_order_seq_cst) == seenSequence &&
         plat::WaitWhileEqual(sequence_, seenSequence, deadline)) {
  }
  waiters_.fetch_sub(1, std::memory_order_relaxed);
  return Sequence();
}

}  // namespace vyra
