#pragma once
// One channel of a device: its description, its set-up texts and an inline sample ring.
// The ring has one producer (the reader thread) and one consumer (the host's ReadLine or
// FlushReadBuffer, serialised by the device); positions are published with release and read
// with acquire.
#include <atomic>
#include <cstdint>
#include <string>

namespace vyra {

class ChannelRecord {
 public:
  static constexpr int32_t kRingSize = 32768;
  static constexpr int32_t kRingMask = 0x7FFF;

  // Applies the default range of a known name, the 32000 rule for the decimal exponent,
  // and builds the set-up texts (which also writes the channel's log entry).
  ChannelRecord(int32_t samplePeriod, int32_t decimals, std::string displayName, double maximum,
                double minimum, const std::string& unit);
  ChannelRecord(const ChannelRecord&) = delete;
  ChannelRecord& operator=(const ChannelRecord&) = delete;

  // Producer side (reader thread only).
  void PushValue(double value) noexcept;
  void RepeatLastValue() noexcept;

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

  std::string name;
  double maximum = 0;
  double minimum = 0;
  int32_t samplePeriod = 0;
  std::string title;
  std::atomic<bool> enabled{true};
  int32_t decimalExponent = 0;
  std::string gainListText;
  std::string baseScalingText;
  int32_t samples[kRingSize];
  std::atomic<int32_t> writePosition{0};
  std::atomic<int32_t> readPosition{0};
  int32_t lastValue = 0;
};

// Builds gainListText and baseScalingText and writes the channel's log entry.
void BuildSetupTexts(ChannelRecord& record, int32_t decimals, const std::string& unit);

}  // namespace vyra
