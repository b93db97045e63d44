#pragma once
// One channel as host threads see it: its description, whether the host has it enabled,
// and its sample ring. The ring has one producer (the reader thread) and one consumer (the
// host's ReadLine or FlushReadBuffer, serialised by ChannelRings); positions are published
// with release and read with acquire.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "protocol/channel_info.h"

namespace vyra {

class ChannelRecord : public ChannelInfo {
 public:
  static constexpr int32_t kRingSize = 32768;
  static constexpr int32_t kRingMask = 0x7FFF;

  // The ring's slots are `slots[i * stride]`: a device's channels share one block
  // (ChannelRings), slot by slot, so the values of one line land on one cache line rather
  // than on a page each.
  ChannelRecord(const ChannelInfo& info, int32_t* slots, int32_t stride)
      : ChannelInfo(info), slots_(slots), stride_(stride) {}
  ChannelRecord(const ChannelRecord&) = delete;
  ChannelRecord& operator=(const ChannelRecord&) = delete;

  // Producer side. A full ring drops the value. The consumer's position is read again only
  // when the one seen last leaves no room, so its cache line stays with the consumer.
  void Push(int32_t value) noexcept {
    const int32_t w = writePosition.load(std::memory_order_relaxed);
    if (((w - seenReadPosition_) & kRingMask) == kRingMask) {
      seenReadPosition_ = readPosition.load(std::memory_order_acquire);
      if (((w - seenReadPosition_) & kRingMask) == kRingMask) return;
    }
    Slot(w) = value;
    writePosition.store((w + 1) & kRingMask, std::memory_order_release);
  }

  // Consumer side.
  int32_t Buffered() const noexcept {
    return (writePosition.load(std::memory_order_acquire) - readPosition.load(std::memory_order_relaxed)) & kRingMask;
  }
  // Value at the read position; call only when Buffered() > 0.
  int32_t Front() const noexcept { return Slot(readPosition.load(std::memory_order_relaxed)); }
  void PopFront() noexcept {
    readPosition.store((readPosition.load(std::memory_order_relaxed) + 1) & kRingMask, std::memory_order_release);
  }
  void Discard() noexcept { readPosition.store(writePosition.load(std::memory_order_acquire), std::memory_order_release); }

  std::atomic<bool> enabled{true};

 private:
  int32_t& Slot(int32_t position) const noexcept {
    return slots_[static_cast<size_t>(position & kRingMask) * static_cast<size_t>(stride_)];
  }

  int32_t* const slots_;
  const int32_t stride_;

 public:
  // Each side's position on its own cache line: the reader and a host thread run on
  // different cores.
  alignas(64) std::atomic<int32_t> writePosition{0};

 private:
  int32_t seenReadPosition_ = 0;  // producer only

 public:
  alignas(64) std::atomic<int32_t> readPosition{0};
};

}  // namespace vyra
