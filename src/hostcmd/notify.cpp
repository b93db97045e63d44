// Wakes host threads waiting for the device (ReadLine, Initialise, host commands) when the
// reader thread has dispatched lines or a Close has begun.
#include <chrono>

#include "serial/dura_serial.h"

namespace vyra {

// The sequence is raised before the waiter count is read, and a waiter registers before it
// tests the sequence (both sequentially consistent), so either the notifier sees the waiter
// or the waiter sees the new sequence. With no waiter a notification costs one atomic add
// and one load.
void DuraSerial::NotifyHost() {
  hostSequence.fetch_add(1, std::memory_order_seq_cst);
  if (hostWaiters.load(std::memory_order_seq_cst) == 0) return;
  { std::lock_guard<std::mutex> lock(notifyMutex); }
  notifyCv.notify_all();
}

uint32_t DuraSerial::WaitForHostNotification(uint32_t seenSequence, int64_t timeoutMs) {
  if (timeoutMs <= 0) return HostSequence();
  std::unique_lock<std::mutex> lock(notifyMutex);
  hostWaiters.fetch_add(1, std::memory_order_seq_cst);
  notifyCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return hostSequence.load(std::memory_order_seq_cst) != seenSequence; });
  hostWaiters.fetch_sub(1, std::memory_order_relaxed);
  return HostSequence();
}

}  // namespace vyra
