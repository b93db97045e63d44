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
    std::vector<std::unique_ptr<ChannelRecord>> built;
    built.reserve(channels.size());
    const int32_t stride = static_cast<int32_t>(channels.size());
    // Default-initialised: only slots between a ring's two positions are ever read, and the
    // block's pages stay untouched until samples reach them.
    std::unique_ptr<int32_t[]> slots(new int32_t[static_cast<size_t>(ChannelRecord::kRingSize) * channels.size()]);
    for (size_t i = 0; i < channels.size(); ++i)
      built.push_back(std::make_unique<ChannelRecord>(channels[i], slots.get() + i, stride));
    slots_ = std::move(slots);
    records_ = std::move(built);
    ready_.store(true, std::memory_order_release);
  }
  // Reader thread: the producer side of channel i (published, in range).
  void Push(int32_t i, int32_t value) noexcept { records_[static_cast<size_t>(i)]->Push(value); }

  bool Ready() const { return ready_.load(std::memory_order_acquire); }
  int32_t Count() const { return Ready() ? static_cast<int32_t>(records_.size()) : 0; }
  ChannelRecord* At(int32_t i) const {  // null when out of range or not published
    return (i >= 0 && i < Count()) ? records_[static_cast<size_t>(i)].get() : nullptr;
  }

  // Host side: the consumer lock and the channel whose data line is next.
  std::mutex& Consumer() { return consumer_; }
  std::atomic<int32_t> nextLine{0};

 private:
  std::unique_ptr<int32_t[]> slots_;  // every record's ring, slot by slot
  std::vector<std::unique_ptr<ChannelRecord>> records_;
  std::atomic<bool> ready_{false};
  std::mutex consumer_;
};

}  // namespace vyra
