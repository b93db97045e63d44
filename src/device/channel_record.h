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

// A ring's positions: a device's channels keep theirs side by side, each side's on cache
// lines of its own (ChannelRings), so the values of one line cost the producer one line of
// positions, and the consumer's writes never share a line with the producer's.
struct alignas(64) RingPositions {
  static constexpr int32_t kPerLine = 64 / sizeof(std::atomic<int32_t>);
  std::atomic<int32_t> at[kPerLine] = {};
};

constexpr int32_t kRingSize = 32768;
constexpr int32_t kRingMask = 0x7FFF;

// The producer's step on one ring: its slots are `slots[i * stride]`, `seenRead` is the
// consumer's position as the producer saw it last. A full ring drops the value. The
// consumer's position is read again only when the one seen last leaves no room, so its cache
// line stays with the consumer.
inline void PushToRing(int32_t* slots, int32_t stride, std::atomic<int32_t>& write, int32_t& seenRead,
                       const std::atomic<int32_t>& read, int32_t value) noexcept {
  const int32_t w = write.load(std::memory_order_relaxed);
  if (((w - seenRead) & kRingMask) == kRingMask) {
    seenRead = read.load(std::memory_order_acquire);
    if (((w - seenRead) & kRingMask) == kRingMask) return;
  }
  slots[static_cast<size_t>(w & kRingMask) * static_cast<size_t>(stride)] = value;
  write.store((w + 1) & kRingMask, std::memory_order_release);
}

// The consumer's steps on one ring.
inline int32_t RingBuffered(const std::atomic<int32_t>& write, const std::atomic<int32_t>& read) noexcept {
  return (write.load(std::memory_order_acquire) - read.load(std::memory_order_relaxed)) & kRingMask;
}
// Value at the read position; call only when the ring holds one.
inline int32_t RingFront(const int32_t* slots, int32_t stride, const std::atomic<int32_t>& read) noexcept {
  return slots[static_cast<size_t>(read.load(std::memory_order_relaxed) & kRingMask) * static_cast<size_t>(stride)];
}
inline void RingPopFront(std::atomic<int32_t>& read) noexcept {
  read.store((read.load(std::memory_order_relaxed) + 1) & kRingMask, std::memory_order_release);
}

class ChannelRecord : public ChannelInfo {
 public:
  static constexpr int32_t kRingSize = vyra::kRingSize;
  static constexpr int32_t kRingMask = vyra::kRingMask;

  // The ring lives in its device's shared block (ChannelRings): slots `slots[i * stride]`,
  // the positions and the producer's view given.
  ChannelRecord(const ChannelInfo& info, int32_t* slots, int32_t stride, std::atomic<int32_t>& write,
                std::atomic<int32_t>& read, int32_t& seenRead)
      : ChannelInfo(info), writePosition(write), readPosition(read), slots_(slots), stride_(stride), seenRead_(seenRead) {}
  ChannelRecord(const ChannelRecord&) = delete;
  ChannelRecord& operator=(const ChannelRecord&) = delete;

  // Producer side (the reader thread goes through ChannelRings::Push, which touches no record).
  void Push(int32_t value) noexcept { PushToRing(slots_, stride_, writePosition, seenRead_, readPosition, value); }

  // Consumer side (host threads' data lines go through ChannelRings, which touches no record).
  int32_t Buffered() const noexcept { return RingBuffered(writePosition, readPosition); }
  // Value at the read position; call only when Buffered() > 0.
  int32_t Front() const noexcept { return RingFront(slots_, stride_, readPosition); }
  void PopFront() noexcept { RingPopFront(readPosition); }
  void Discard() noexcept { readPosition.store(writePosition.load(std::memory_order_acquire), std::memory_order_release); }

  std::atomic<bool> enabled{true};
  std::atomic<int32_t>& writePosition;  // the producer's
  std::atomic<int32_t>& readPosition;   // the consumer's

 private:
  int32_t* const slots_;
  const int32_t stride_;
  int32_t& seenRead_;  // producer only
};

}  // namespace vyra
