#pragma once
// The monitor's reply protocol without I/O. It is fed complete reply lines (with the time they
// arrived, for the waveform time-out) and the host's requests, and answers through its Output: the
// commands to send, the values for each channel, the comments, the notes for the log. It
// holds every piece of protocol state. Single-threaded by contract: its owner serialises
// every call, and Output is called only from within them.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/channel_info.h"
#include "support/bvl_string.h"
#include "support/hresult.h"

namespace vyra {

// Values of the acquisition state.
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

// When a line arrived: a value, or a clock of the caller's read at most once into the
// caller's slot (negative: not read yet) and only by a line that needs the time. Most lines
// never do, and a clock read that misses the caches costs microseconds on some machines.
class LineTime {
 public:
  LineTime(int64_t ms) noexcept : ms_(ms) {}  // NOLINT(google-explicit-constructor): tests and traces pass a time
  LineTime(int64_t& slot, int64_t (*clock)()) noexcept : slot_(&slot), clock_(clock) {}
  int64_t Ms() const {
    if (!slot_) return ms_;
    if (*slot_ < 0) *slot_ = clock_();
    return *slot_;
  }

 private:
  int64_t ms_ = 0;
  int64_t* slot_ = nullptr;
  int64_t (*clock_)() = nullptr;
};

class ProtocolCore {
 public:
  class Output {
   public:
    // A command's text, without its frame.
    virtual void Send(std::string_view command) = 0;
    // Channels() has been built; no Value comes before it.
    virtual void ChannelsBuilt() = 0;
    // One stored value for a channel's ring.
    virtual void Value(int32_t channel, int32_t value) = 0;
    // A cycle comment at its position in waveform samples since sampling started.
    virtual void Comment(int64_t samples, const BVL::String& text) = 0;
    // An entry for the log.
    virtual void Note(std::string_view label, const BVL::String& text) = 0;

   protected:
    ~Output() = default;
  };

  ProtocolCore(bool branded, Output& output) : isBranded_(branded), out_(output) {}
  ProtocolCore(const ProtocolCore&) = delete;
  ProtocolCore& operator=(const ProtocolCore&) = delete;

  // One reply without its CR (and, as the host's text, ending at a NUL). A line that cannot
  // be handled fails alone.
  HResult HandleLine(std::string_view line, LineTime now) noexcept;

  // Host requests. Each sets the state the answer is awaited in, then sends the command.
  void BeginHandshake();
  void StartSampling();
  void StopSampling();
  // Selects a period (us) of the device's list ("P" + its position); false when not listed.
  bool SelectPeriod(int32_t period);

  int32_t State() const { return state_; }
  bool Branded() const { return isBranded_; }
  const std::string& DeviceName() const { return deviceName_; }
  const std::string& FirmwareVersion() const { return firmwareVersion_; }
  const std::string& FirmwareLevel() const { return firmwareLevel_; }
  const BVL::String& ErrorText() const { return errorText_; }
  BVL::String TakeErrorText();
  bool DescriptionComplete() const;
  uint32_t ParameterCount() const { return parameterCount_; }
  int32_t UploadPeriod() const { return uploadPeriod_; }
  const std::map<int32_t, int32_t>& UploadRates() const { return uploadRates_; }
  bool ChannelsReady() const { return channelsReady_; }
  const std::vector<ChannelInfo>& Channels() const { return channels_; }
  int32_t CuffChannel() const { return cuffChannel_; }
  int32_t VprChannel() const { return vprChannel_; }
  bool HasTimeColumn() const { return hasTimeColumn_; }
  bool WaveformInProgress() const { return waveformInProgress_; }

  // The time after the last waveform block at which an unfinished upload is given up.
  static constexpr int64_t kWaveformTimeoutMs = 450;

 private:
  HResult Dispatch(std::string_view line, LineTime now);
  HResult HandleAwaitedReply(std::string_view line);
  void Advance(int32_t to) { state_ = to; }
  HResult IdentifyDevice(const BVL::String& reply);
  bool ParseUploadRates(const BVL::String& line);
  void SendUploadSelection();
  bool BuildChannels();
  void HandleSampleLine(std::string_view line);
  HResult ParseWaveformInfo(const BVL::String& line);
  void ServiceWaveform(LineTime now);
  void HandleWaveformLine(std::string_view line, LineTime now);
  HResult HandleMeasurementLine(const BVL::String& line);
  void PostComment(int32_t offset, const BVL::String& text);
  void Push(int32_t channel, double value);
  void Repeat(int32_t channel);

  // What every sample line reads comes first, on as few cache lines as possible: a paced
  // reader meets each line with cold caches.
  const bool isBranded_;
  Output& out_;
  int32_t state_ = kCreated;
  uint32_t parameterCount_ = 0;
  bool channelsReady_ = false;
  bool hasTimeColumn_ = false;
  bool waveformInProgress_ = false;
  int32_t cuffChannel_ = -1;
  int32_t vprChannel_ = -1;
  int32_t sampleLineBacklog_ = 0;
  // Per channel, packed apart from the texts: how a value is stored, and the stored value a
  // "*" field repeats.
  struct SampleChannel {
    Scaling scaling;
    int32_t last = 0;
  };
  std::vector<SampleChannel> sampleChannels_;

  // handshake and identity
  bool listFollows_ = false;
  std::string firmwareLevel_, firmwareVersion_, deviceName_;
  BVL::String errorText_;
  std::map<int32_t, int32_t> uploadRates_;  // period (us) -> position in the device's list
  int32_t uploadPeriod_ = 0;

  // channel model: built once from the four description lines
  BVL::String namesLine_, unitsLine_, maximaLine_, minimaLine_;
  std::vector<ChannelInfo> channels_;

  // waveform uploads and cycles
  int32_t waveformSampleCount_ = 0;
  int32_t cycleStartSample_ = 0;
  int32_t expectedWaveformValues_ = 0;
  int64_t lastWaveformTime_ = 0;
  bool cycleSeen_ = false;
};

}  // namespace vyra
