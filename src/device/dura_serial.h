#pragma once
// The device for one attached monitor: the one place where threads meet. It runs the
// protocol core on the link's reader thread, publishes to host threads what they read (the
// state, the channel list with its rings, the texts), runs the host's waits, and posts the
// core's comments to the host document. hostcmd/ and the exports work through it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "device/channel_rings.h"
#include "device/host_document.h"
#include "device/host_wake.h"
#include "protocol/core.h"
#include "serial/serial_link.h"
#include "support/bvl_string.h"

namespace vyra {

class DuraSerial final : private SerialLink::Receiver, private ProtocolCore::Output {
 public:
  // Limits of the host's waits for the device (each wait ends as soon as the device has
  // answered) and the pauses of Close; tests shorten them.
  struct Timing {
    int handshakeLimitMs = 16000;    // Initialise: until state 4
    int descriptionLimitMs = 15000;  // host commands: until the description (and channel list)
    int samplingLimitMs = 5000;      // codes 37/38: until sampling starts or stops
    int closeSettleMs = 20;          // Close: after sending "X"
    int closeJoinMs = 500;           // Close: how long to wait for the reader thread
  };
  using WaitEnd = HostWake::End;

  DuraSerial(std::u16string devicePath, std::u16string identifier);
  ~DuraSerial();
  DuraSerial(const DuraSerial&) = delete;
  DuraSerial& operator=(const DuraSerial&) = delete;

  // --- lifecycle (host threads) ---
  HResult Initialise();
  bool Close();
  bool IsOpen() const { return link_.IsOpen(); }
  bool CanUseBaudRate(int rate) { return link_.CanUseBaudRate(rate); }
  bool SetBaudRate(int rate) { return link_.SetBaudRate(rate); }
  int GetBaudRate() const { return link_.GetBaudRate(); }
  // At process exit: the end command, unless the port's lock is taken.
  bool WriteBytesIfFree(const void* data, size_t length) { return link_.WriteBytesIfFree(data, length); }
  void SignalReaderStop() { link_.SignalReaderStop(); }
  bool EndReaderForUnload(int64_t deadlineMs) { return link_.EndReaderForUnload(deadlineMs); }
  bool ReaderLeftRunning() const { return link_.ReaderLeftRunning(); }

  // --- host requests to the protocol ---
  bool StartSampling();
  bool StopSampling();
  // Selects a listed period (us); false when the device does not list it.
  bool SelectPeriod(int32_t period);
  // Frames and writes one command; false when the write did not complete.
  bool SendCommand(std::string_view text);

  // --- what host threads read ---
  int32_t State() const { return state_.load(std::memory_order_acquire); }
  bool IsSampling() const { return State() == kSampling; }
  std::string DeviceName() const;
  std::string FirmwareVersion() const;
  std::string FirmwareLevel() const;
  BVL::String ErrorText() const;
  BVL::String TakeErrorText();  // hands the message out once
  bool DescriptionComplete() const;  // all four description lines received
  int32_t UploadPeriod() const;
  bool ChannelsReady() const { return rings_.Ready(); }
  int32_t ChannelCount() const { return rings_.Count(); }
  ChannelRecord* Channel(int32_t index) const { return rings_.At(index); }
  ChannelRings& Rings() { return rings_; }

  // --- the host's waits ---
  void NotifyHost() { wake_.Notify(); }
  uint32_t HostSequence() const { return wake_.Sequence(); }
  uint32_t WaitForHostNotificationUntil(uint32_t seen, int64_t deadlineMs) { return wake_.WaitUntil(seen, deadlineMs); }
  template <class Ready>
  WaitEnd WaitForDevice(Ready ready, int64_t limitMs) {
    return wake_.WaitFor(ready, limitMs);
  }

  void SetControllingProxy(void* proxy) { document_.SetProxy(proxy); }

  // One reply as the reader thread hands it over, then the end of its pass; tests and
  // benchmarks feed the device this way without a port.
  HResult HandleReply(const char* bytes, int length);
  SerialLink& Link() { return link_; }

  Timing timing;
  // Sees every framed command (":" + text + LF) just before it is written, often under the
  // core's lock: it must not call back into the device. Tests and diagnostics only.
  std::function<void(std::string_view frame)> commandObserver;

  // --- failure flags (read by IsFailed and GetLastErrorMsg) ---
  std::atomic<bool> firmwareMismatch{false};
  std::atomic<bool> notResponding{false};
  std::atomic<bool> deviceFailed{false};

  // --- identity ---
  const std::u16string devicePath;
  const std::string serialNumber;
  const bool isBranded;

 private:
  friend class DuraSerialTestAccess;
  // SerialLink::Receiver (reader thread)
  int32_t Line(const char* bytes, int length) override;
  void PassEnd(int dispatched) override;
  void LineLost() override;
  // ProtocolCore::Output (under coreMutex_)
  void Send(std::string_view command) override;
  void ChannelsBuilt() override;
  void Value(int32_t channel, int32_t value) override;
  void Comment(int64_t samples, const BVL::String& text) override;
  void Note(std::string_view label, const BVL::String& text) override;

  // Runs a core call under the lock and publishes the state it leaves.
  template <class F>
  auto WithCore(F f) {
    std::lock_guard lock(coreMutex_);
    struct Publish {
      DuraSerial& d;
      ~Publish() {
        // Stored only when it changed: host threads read it on every ReadLine, and a store per
        // line would take its cache line from them each time.
        const int32_t s = d.core_.State();
        if (d.state_.load(std::memory_order_relaxed) != s) d.state_.store(s, std::memory_order_release);
      }
    } publish{*this};
    return f(core_);
  }

  struct PendingComment {
    double samples;
    double periodUs;
    BVL::String text;
  };

  // What the reader's pass touches is declared together, ending with the link, whose receive
  // buffer's front follows the few members its pass reads; what host threads read on every
  // ReadLine sits on cache lines the reader does not write per line.
  mutable std::mutex coreMutex_;  // every call into core_; never held across a call into the host
  // Set with comments_ under the lock, so a pass that made none skips the lock at its end.
  std::atomic<bool> commentsPending_{false};
  // The lines of one read arrived together: the clock is read once per pass, by the first line
  // that needs the time, if any (reader thread).
  int64_t passNowMs_ = -1;
  alignas(64) std::atomic<int32_t> state_{kCreated};  // core_.State() as of the last call
  ChannelRings rings_;
  HostWake wake_;
  ProtocolCore core_;
  SerialLink link_;
  std::vector<PendingComment> comments_;  // made under coreMutex_, posted after it (reader thread)
  HostDocumentSlot document_;
};

// The low byte of each UTF-16 unit: how device paths and identifiers are matched as ASCII.
std::string LowBytes(std::u16string_view wide);
// Narrow digits after "z800", "vez" or "bvlvyra" in the device path (case ignored).
std::string SerialNumberFromPath(std::u16string_view devicePath);

}  // namespace vyra
