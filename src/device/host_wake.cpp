#include "device/host_wake.h"

#include <chrono>

namespace vyra {

// The sequence is raised before the waiter count is read, and a waiter registers before it
// tests the sequence (both sequentially consistent), so either the notifier sees the waiter
// or the waiter sees the new sequence. With no waiter a notification costs one atomic add
// and one load.
[[gnu::hot]] void HostWake::Notify() {
  sequence_.fetch_add(1, std::memory_order_seq_cst);
  if (waiters_.load(std::memory_order_seq_cst) == 0) return;
  { std::lock_guard<std::mutex> lock(mutex_); }
  cv_.notify_all();
}

[[gnu::hot]] uint32_t HostWake::WaitUntil(uint32_t seenSequence, int64_t deadlineMs) {
  // NowMs counts this clock's whole milliseconds, so a deadline taken as NowMs() + limit may
  // have started up to a millisecond before the call; waiting to the end of the deadline's
  // millisecond keeps every wait at least as long as its limit.
  const std::chrono::steady_clock::time_point deadline{std::chrono::milliseconds(deadlineMs + 1)};
  std::unique_lock<std::mutex> lock(mutex_);
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  cv_.wait_until(lock, deadline, [&] { return sequence_.load(std::memory_order_seq_cst) != seenSequence; });
  waiters_.fetch_sub(1, std::memory_order_relaxed);
  return Sequence();
}

}  // namespace vyra
