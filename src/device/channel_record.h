#pragma once
// One channel as host threads see it: its description, whether the host has it enabled,
// and its sample ring. The ring has one producer (the reader thread) and one consumer (the
// host's ReadLine or FlushReadBuffer, serialised by ChannelRings); positions are published
// with release and read with acquire.
#include <atomic>
#include <cstdint>

#include "protocol/channel_info.h"

namespace vyra {

class ChannelRecord : public ChannelInfo {
 public:
  static constexpr int32_t kRingSize = 32768;
  static constexpr int32_t kRingMask = 0x7FFF;

  // The ring is left unwritten: only slots between the two positions are ever read, and
  // untouched pages of a 128 KiB ring cost nothing until samples reach them.
  explicit ChannelRecord(const ChannelInfo& info) : ChannelInfo(info) {}
  ChannelRecord(const ChannelRecord&) = delete;
  ChannelRecord& operator=(const ChannelRecord&) = delete;

  // Producer side. A full ring drops the value.
  void Push(int32_t value) noexcept {
    const int32_t w = writePosition.load(std::memory_order_relaxed);
    const int32_t rd = readPosition.load(std::memory_order_acquire);
    if (((w - rd) & kRingMask) == kRingMask) return;
    samples[w & kRingMask] = value;
    writePosition.store((w + 1) & kRingMask, std::memory_order_release);
  }

  // Consumer side.
  int32_t Buffered() const noexcept {
    return (writePosition.load(std::memory_order_acquire) - readPosition.load(std::memory_order_relaxed)) & kRingMask;
  }
  // Value at the read position; call only when Buffered() > 0.
  int32_t Front() const noexcept { return samples[readPosition.load(std::memory_order_relaxed) & kRingMask]; }
  void PopFront() noexcept {
    readPosition.store((readPosition.load(std::memory_order_relaxed) + 1) & kRingMask, std::memory_order_release);
  }
  void Discard() noexcept { readPosition.store(writePosition.load(std::memory_order_acquire), std::memory_order_release); }

  std::atomic<bool> enabled{true};
  int32_t samples[kRingSize];
  std::atomic<int32_t> writePosition{0};
  std::atomic<int32_t> readPosition{0};
};

}  // namespace vyra
