#pragma once
// Wakes host threads waiting for a device (ReadLine, Initialise, host commands) when the
// reader thread has handled lines or a close has begun.
#include <atomic>
#include <cstdint>

#include "serial/serial_link.h"

namespace vyra {

class HostWake {
 public:
  // How a wait for the device ended.
  enum class End { Ready, TimedOut, Closed };

  void Notify();
  // Waits for Notify after `seenSequence` until millisecond `deadlineMs` (on NowMs's clock)
  // has passed; returns the new sequence. A waiter that keeps its deadline reads the clock
  // once per wait, not twice: a read that misses the caches costs microseconds on some
  // virtual machines.
  uint32_t WaitUntil(uint32_t seenSequence, int64_t deadlineMs);
  uint32_t Sequence() const { return sequence_.load(std::memory_order_acquire); }
  // Ends every wait begun before it.
  void Close() {
    closeCount_.fetch_add(1, std::memory_order_acq_rel);
    Notify();
  }
  // Waits until `ready` holds, woken by Notify; Closed when a Close began meanwhile.
  // `ready` is tested once more at the limit.
  template <class Ready>
  End WaitFor(Ready ready, int64_t limitMs);

 private:
  std::atomic<uint32_t> sequence_{0};
  std::atomic<int32_t> waiters_{0};
  std::atomic<uint32_t> closeCount_{0};
};

template <class Ready>
HostWake::End HostWake::WaitFor(Ready ready, int64_t limitMs) {
  const uint32_t closes = closeCount_.load(std::memory_order_acquire);
  const int64_t deadline = NowMs() + limitMs;
  for (;;) {
    // Taken before the test, so a change made just after it ends the wait at once.
    const uint32_t seen = Sequence();
    if (ready()) return End::Ready;
    if (closeCount_.load(std::memory_order_acquire) != closes) return End::Closed;
    if (NowMs() >= deadline) return End::TimedOut;
    WaitUntil(seen, deadline);
  }
}

}  // namespace vyra
