#pragma once
// The device object for one attached monitor: port, reader thread, reply protocol,
// channel model and host-side state. The operations are defined next to their subsystem:
// serial/ (lifecycle, reader thread), protocol/ (replies, channels, samples, waveform),
// hostcmd/ (host commands, data lines, unique identifier).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostcmd/host_command_record.h"
#include "platform/event.h"
#include "platform/thread_end.h"
#include "protocol/channel_record.h"
#include "serial/com_port.h"
#include "serial/receive_ring.h"
#include "support/bvl_string.h"

namespace vyra {

struct IHostDocument;  // host interfaces: include/vyra/host_interfaces.h

// Milliseconds of a monotonic clock: the time base of every time-out.
int64_t NowMs();

// Values of the device's acquisition state.
enum AcquisitionState : int32_t {
  kCreated = 0,
  kAwaitStart = 1,
  kAwaitModeEcho = 2,
  kAwaitVersion = 3,
  kAwaitBrandEcho = 4,
  kAwaitParameters = 5,
  kAwaitUploadRates = 6,
  kAwaitUploadEcho = 7,
  kAwaitChannelNames = 8,
  kAwaitChannelUnits = 9,
  kAwaitChannelMaxima = 10,
  kAwaitChannelMinima = 11,
  kReady = 12,
  kAwaitWaveformInfo = 13,
  kAwaitBeginEcho = 14,
  kAwaitWaveformEcho = 15,
  kAwaitModeEchoOnStop = 18,
  kAwaitStopEcho = 19,
  kSampling = 20,
};

class DuraSerial : public COMPort {
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

  // How a wait for the device ended.
  enum class WaitEnd { Ready, TimedOut, Closed };

  DuraSerial(std::u16string devicePath, std::u16string identifier);
  ~DuraSerial() override;

  // --- lifecycle and reader thread (serial/dura_serial.cpp) ---
  HResult Initialise();
  bool Close() override;
  void ReaderLoop();
  HResult ReceivePass();
  // Unload under the Windows loader lock (platform/thread_end.h): the reader told to stop.
  void SignalReaderStop();
  // Ends the stopped reader where it parks, or sees it gone, waiting until deadlineMs at the
  // latest; false when it still runs: this object must then never be destroyed.
  bool EndReaderForUnload(int64_t deadlineMs);
  bool ReaderLeftRunning() const { return readerLeftRunning.load(std::memory_order_relaxed); }

  // --- reply protocol (protocol/) ---
  HResult HandleReply(const char* bytes, int length);
  bool SendCommand(std::string_view text);
  bool SendUploadSelection();
  bool StartSampling();
  bool StopSampling();
  HResult IdentifyDevice(const BVL::String& reply);
  bool ParseUploadRates(const BVL::String& line);
  bool BuildChannels();
  HResult HandleSampleLine(const BVL::String& line);
  HResult ParseWaveformInfo(const BVL::String& line);
  void ServiceWaveform();
  HResult HandleWaveformLine(const BVL::String& line);
  HResult HandleMeasurementLine(const BVL::String& line);
  void PostComment(int32_t offset, const BVL::String& text);
  void RefreshHostDocument();
  void ReleaseHostDocument();

  // --- host side (hostcmd/) ---
  bool RunHostCommand(uint32_t code, HostCommandRecord* record);
  bool ReadDataLines(char* buffer, int32_t length);
  char* FormatDataLine(int32_t channel, char* destination, int32_t limit, int32_t& budget);
  void DiscardSamples();
  bool UniqueId(int32_t* out);
  // ReadLine export body: first attempt always made, then sleeps on the data notification.
  bool ReadLine(char* buffer, int32_t size, int32_t timeoutMs);

  // Raised by the reader thread when samples were appended or the state changed, and by Close.
  void NotifyHost();
  // Waits at most timeoutMs for NotifyHost after `seenSequence`; returns the new sequence.
  uint32_t WaitForHostNotification(uint32_t seenSequence, int64_t timeoutMs);
  uint32_t HostSequence() const { return hostSequence.load(std::memory_order_acquire); }
  // Waits until `ready` holds, woken by NotifyHost; Closed when a Close began meanwhile.
  // `ready` is tested once more at the limit.
  template <class Ready>
  WaitEnd WaitForDevice(Ready ready, int64_t limitMs);

  // Thread-safe copies of texts the reader thread writes.
  std::string DeviceName() const;
  std::string FirmwareVersion() const;
  std::string FirmwareLevel() const;
  BVL::String ErrorText() const;
  BVL::String TakeErrorText();  // hands the message out once
  void SetErrorText(const BVL::String& text);
  bool DescriptionComplete() const;  // all four description lines stored
  // The position of `period` in the device's upload-rate list; false when it is not listed.
  bool UploadRatePosition(int32_t period, int32_t& position) const;
  bool ChannelsReady() const { return channelsReady.load(std::memory_order_acquire); }
  int32_t ChannelCount() const { return ChannelsReady() ? static_cast<int32_t>(channels.size()) : 0; }
  ChannelRecord* Channel(int32_t index) const {  // null when out of range or not ready
    return (ChannelsReady() && index >= 0 && index < static_cast<int32_t>(channels.size())) ? channels[index].get()
                                                                                             : nullptr;
  }

  Timing timing;
  // Sees every framed command (":" + text + LF) just before it is written; tests and
  // diagnostics only.
  std::function<void(std::string_view frame)> commandObserver;
  // Sees every cycle comment the device makes (position in waveform samples) before the host
  // document is asked for; recorded traces only.
  std::function<void(int32_t samples, const BVL::String& text)> commentObserver;
  // The time base of the waveform time-out; a recorded trace replays with its own times.
  int64_t (*clock)() = &NowMs;

  // --- failure flags (read by IsFailed and GetLastErrorMsg) ---
  std::atomic<bool> firmwareMismatch{false};
  std::atomic<bool> notResponding{false};
  std::atomic<bool> deviceFailed{false};
  void* controllingProxy = nullptr;  // the host's controlling proxy (host_interfaces.h)

  // --- identity ---
  const std::u16string devicePath;
  const std::string serialNumber;
  const bool isBranded;

  // --- protocol state (reader thread writes; host threads read through the accessors) ---
  std::atomic<int32_t> acquisitionState{kCreated};
  std::atomic<uint32_t> parameterCount{0};
  bool listFollows = false;
  std::atomic<bool> hasTimeColumn{false};
  // period (us) -> position in the device's list; the reader thread replaces it under
  // textMutex, host threads read it through UploadRatePosition
  std::map<int32_t, int32_t> uploadRates;
  std::atomic<int32_t> uploadPeriod{0};
  std::vector<std::unique_ptr<ChannelRecord>> channels;  // filled once, then channelsReady
  std::atomic<bool> channelsReady{false};
  std::atomic<int32_t> cuffChannel{-1};
  std::atomic<int32_t> vprChannel{-1};

  // --- waveform and cycle events ---
  std::atomic<int32_t> waveformSampleCount{0};
  std::atomic<int32_t> cycleStartSample{0};
  std::atomic<int32_t> sampleLineBacklog{0};
  std::atomic<int32_t> expectedWaveformValues{0};
  std::atomic<bool> waveformInProgress{false};
  std::atomic<int64_t> lastWaveformTime{0};
  int64_t waveformTimeout = 450;
  std::atomic<bool> cycleSeen{false};
  IHostDocument* hostDocument = nullptr;  // guarded by hostDocumentMutex
  std::mutex hostDocumentMutex;

  // --- host side ---
  const int32_t maxLineLength = 2048;
  std::atomic<int32_t> dataLineChannel{0};
  // Each ring has one consumer; a host calling ReadLine or FlushReadBuffer from two threads
  // would otherwise let a stale pop carry the read position past the write position, and the
  // ring would then hand out a full ring of old values. Only host threads take this lock.
  std::mutex consumerMutex;

 protected:
  mutable std::mutex textMutex;  // guards the texts below
  BVL::String errorText;
  BVL::String channelNamesLine, channelUnitsLine, channelMaximaLine, channelMinimaLine;
  std::string firmwareLevel, firmwareVersion, deviceName;

 private:
  friend class DuraSerialTestAccess;
  // Signals the reader's stop (once), waits at most waitMs (< 0: until it has ended) and
  // joins it when it has ended.
  void StopReaderThread(int waitMs);
  bool StartReader(std::shared_ptr<plat::SerialPort> line);

  // Reader thread: one per Initialise; each gets its own stop event so a stop signalled for
  // an earlier thread never ends a later one. A new one starts only after the previous one
  // has been joined, so one reader at a time owns the ring.
  struct Reader {
    std::thread thread;
    plat::Event stop;
    plat::ThreadEnd end;  // only for an unload under the Windows loader lock
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    bool stopSignalled = false;               // host side only
    bool lineFailed = false;                  // reader thread only: a read found the line gone
    std::shared_ptr<plat::SerialPort> line;   // keeps the port alive until the thread has ended
  };
  std::unique_ptr<Reader> reader;

  ReceiveRing lineBuffer;

  std::mutex notifyMutex;
  std::condition_variable notifyCv;
  std::atomic<uint32_t> hostSequence{0};
  std::atomic<int32_t> hostWaiters{0};
  std::atomic<uint32_t> closeCount{0};  // raised by every Close; ends the waits begun before it
  std::atomic<bool> readerLeftRunning{false};
};

// Narrow digits after "z800", "vez" or "bvlvyra" in the device path (case ignored).
std::string SerialNumberFromPath(std::u16string_view devicePath);

template <class Ready>
DuraSerial::WaitEnd DuraSerial::WaitForDevice(Ready ready, int64_t limitMs) {
  const uint32_t closes = closeCount.load(std::memory_order_acquire);
  const int64_t deadline = NowMs() + limitMs;
  for (;;) {
    // Taken before the test, so a change made just after it ends the wait at once.
    const uint32_t seen = HostSequence();
    if (ready()) return WaitEnd::Ready;
    if (closeCount.load(std::memory_order_acquire) != closes) return WaitEnd::Closed;
    const int64_t remaining = deadline - NowMs();
    if (remaining <= 0) return WaitEnd::TimedOut;
    WaitForHostNotification(seen, remaining);
  }
}

}  // namespace vyra
