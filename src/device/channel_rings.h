#pragma once
// The channel list host threads read: built by the reader thread when the device has
// described its channels and published once (release/acquire), then never changed. The
// rings have one consumer each; a host calling ReadLine or FlushReadBuffer from two threads
// would otherwise let a stale pop carry the read position past the write position, and the
// ring would then hand out a full ring of old values, so host threads take Consumer().
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "device/channel_record.h"

namespace vyra {

class ChannelRings {
 public:
  // Reader thread, once.
  void Publish(const std::vector<ChannelInfo>& channels) {
    const size_t n = channels.size();
    const int32_t stride = static_cast<int32_t>(n);
    // Default-initialised: only slots between a ring's two positions are ever read, and the
    // block's pages stay untouched until samples reach them.
    std::unique_ptr<int32_t[]> slots(new int32_t[static_cast<size_t>(kRingSize) * n]);
    const size_t lines = (n + RingPositions::kPerLine - 1) / RingPositions::kPerLine;
    std::unique_ptr<RingPositions[]> writes(new RingPositions[lines]), reads(new RingPositions[lines]);
    std::unique_ptr<int32_t[]> seen(new int32_t[n]());
    std::vector<std::unique_ptr<ChannelRecord>> built;
    built.reserve(n);
    for (size_t i = 0; i < n; ++i)
      built.push_back(std::make_unique<ChannelRecord>(channels[i], slots.get() + i, stride, PositionOf(writes, i),
                                                      PositionOf(reads, i), seen[i]));
    slots_ = std::move(slots);
    stride_ = stride;
    writePositions_ = std::move(writes);
    readPositions_ = std::move(reads);
    seenReads_ = std::move(seen);
    records_ = std::move(built);
    ready_.store(true, std::memory_order_release);
  }
  // Reader thread: the producer side of channel i (published, in range). It touches the
  // shared block and positions only, not the channel's record.
  void Push(int32_t i, int32_t value) noexcept {
    const auto k = static_cast<size_t>(i);
    PushToRing(slots_.get() + k, stride_, PositionOf(writePositions_, k), seenReads_[k], PositionOf(readPositions_, k), value);
  }

  // Host side, under Consumer(): channel i's ring (published, in range), without its record.
  int32_t Buffered(int32_t i) const noexcept {
    const auto k = static_cast<size_t>(i);
    return RingBuffered(PositionOf(writePositions_, k), PositionOf(readPositions_, k));
  }
  int32_t Front(int32_t i) const noexcept {
    const auto k = static_cast<size_t>(i);
    return RingFront(slots_.get() + k, stride_, PositionOf(readPositions_, k));
  }
  void PopFront(int32_t i) noexcept { RingPopFront(PositionOf(readPositions_, static_cast<size_t>(i))); }

  bool Ready() const { return ready_.load(std::memory_order_acquire); }
  int32_t Count() const { return Ready() ? static_cast<int32_t>(records_.size()) : 0; }
  ChannelRecord* At(int32_t i) const {  // null when out of range or not published
    return (i >= 0 && i < Count()) ? records_[static_cast<size_t>(i)].get() : nullptr;
  }

  // Host side: the consumer lock and (below) the channel whose data line is next.
  std::mutex& Consumer() { return consumer_; }

 private:
  static std::atomic<int32_t>& PositionOf(const std::unique_ptr<RingPositions[]>& lines, size_t i) {
    return lines[i / RingPositions::kPerLine].at[i % RingPositions::kPerLine];
  }

  // Every record's ring, slot by slot, and its positions in channel order.
  std::unique_ptr<int32_t[]> slots_;
  int32_t stride_ = 0;
  std::unique_ptr<RingPositions[]> writePositions_, readPositions_;
  std::unique_ptr<int32_t[]> seenReads_;  // producer only
  std::vector<std::unique_ptr<ChannelRecord>> records_;
  std::atomic<bool> ready_{false};
  alignas(64) std::mutex consumer_;  // host threads write it and what follows; the reader reads what is above

 public:
  std::atomic<int32_t> nextLine{0};
};

}  // namespace vyra
