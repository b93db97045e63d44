#include <windows.h>

#include <cstdint>

#include "platform/hot_path.h"
#include "platform/wake_word.h"

namespace vyra::plat {
namespace {

// Constant-initialised: nothing to make or free, so usable at any point of load or unload.
// Words that share a bucket only see each other's wakes as spurious.
struct Bucket {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;
};
constexpr size_t kBuckets = 16;
Bucket buckets[kBuckets];

Bucket& BucketOf(const void* word) { return buckets[(reinterpret_cast<uintptr_t>(word) / sizeof(uint32_t)) % kBuckets]; }

}  // namespace

VYRA_PLATFORM_HOT_PATH bool WaitWhileEqual(const std::atomic<uint32_t>& word, uint32_t seen, std::chrono::steady_clock::time_point deadline) {
  using namespace std::chrono;
  Bucket& b = BucketOf(&word);
  bool more = true;
  AcquireSRWLockExclusive(&b.lock);
  // Tested under the bucket's lock, which WakeAll takes after the word changed: a change
  // either is seen here or wakes the sleep below.
  if (word.load(std::memory_order_seq_cst) == seen) {
    const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) {
      more = false;
    } else {
      const DWORD ms = left < static_cast<int64_t>(INFINITE) ? static_cast<DWORD>(left) : INFINITE - 1;
      // A timed-out sleep may end a timer tick early: only the clock says the deadline passed.
      if (!SleepConditionVariableSRW(&b.cv, &b.lock, ms, 0) && GetLastError() == ERROR_TIMEOUT)
        more = steady_clock::now() < deadline;
    }
  }
  ReleaseSRWLockExclusive(&b.lock);
  return more;
}

VYRA_PLATFORM_HOT_PATH void WakeAll(const std::atomic<uint32_t>& word) {
  Bucket& b = BucketOf(&word);
  AcquireSRWLockExclusive(&b.lock);
  ReleaseSRWLockExclusive(&b.lock);
  WakeAllConditionVariable(&b.cv);
}

}  // namespace vyra::plat
