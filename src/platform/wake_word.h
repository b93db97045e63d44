#pragma once
// Sleeping on a 32-bit counter until it moves. A waiter sleeps while the word still holds
// the value it saw; whoever changes the word then wakes every such waiter. Neither side takes
// a lock of ours: on Linux the wait is a futex on the word itself, on Windows 7 (which has no
// WaitOnAddress) a condition variable of a small table keyed by the word's address.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace vyra::plat {

// False once `deadline` has passed. True when woken, when the word no longer held `seen`, or
// spuriously: the caller tests the word again.
bool WaitWhileEqual(const std::atomic<uint32_t>& word, uint32_t seen, std::chrono::steady_clock::time_point deadline);
// After the word was changed: wakes every thread waiting on it.
void WakeAll(const std::atomic<uint32_t>& word);

}  // namespace vyra::plat
