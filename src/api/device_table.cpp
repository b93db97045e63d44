#include "api/device_table.h"

#include <atomic>

#include "device/dura_serial.h"
#include "support/hot_path.h"

namespace vyra {

namespace {
// Slots never move and each is published whole, so the process-exit path, which may run
// after a thread was killed in the middle of an append or a CloseAll, reads them without a
// lock. Constant-initialised and trivially destroyed: still there when the unload hook runs.
constexpr size_t kCapacity = 1024;
std::atomic<DuraSerial*> slots[kCapacity];
std::atomic<size_t> count{0};
}  // namespace

VYRA_HOT_PATH DuraSerial* DeviceAt(int index) {
  if (index < 0 || static_cast<size_t>(index) >= count.load(std::memory_order_acquire)) return nullptr;
  return slots[static_cast<size_t>(index)].load(std::memory_order_acquire);
}

int AppendDevice(std::unique_ptr<DuraSerial> device) {
  const size_t n = count.load(std::memory_order_relaxed);
  if (n == kCapacity) return -1;
  slots[n].store(device.release(), std::memory_order_release);
  count.store(n + 1, std::memory_order_release);
  return static_cast<int>(n);
}

size_t DeviceCount() { return count.load(std::memory_order_acquire); }

DuraSerial* LastDevice() {
  const size_t n = count.load(std::memory_order_acquire);
  return n ? slots[n - 1].load(std::memory_order_acquire) : nullptr;
}

void DestroyAllDevices() {
  for (size_t n = count.load(std::memory_order_acquire); n > 0; --n) {
    // The entry names no device while its object is being destroyed.
    DuraSerial* d = slots[n - 1].exchange(nullptr, std::memory_order_acq_rel);
    count.store(n - 1, std::memory_order_release);
    if (d && d->ReaderLeftRunning())
      d->WriteBytesIfFree(":X\n", 3);
    else
      delete d;
  }
}

bool EndReadersForUnload(int64_t deadlineMs) {
  const size_t n = count.load(std::memory_order_acquire);
  // All are told first, so they park side by side and the deadline is one wait, not one each.
  for (size_t i = 0; i < n; ++i)
    if (DuraSerial* d = slots[i].load(std::memory_order_acquire)) d->SignalReaderStop();
  bool allEnded = true;
  for (size_t i = 0; i < n; ++i)
    if (DuraSerial* d = slots[i].load(std::memory_order_acquire)) allEnded &= d->EndReaderForUnload(deadlineMs);
  return allEnded;
}

}  // namespace vyra
