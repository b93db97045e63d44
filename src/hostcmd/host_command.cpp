// DeviceCommand: the numbered host commands answered from the device object.
#include <charconv>
#include <string>
#include <string_view>

#include "framework/locale.h"
#include "hostcmd/host_command_record.h"
#include "platform/codepage.h"
#include "protocol/channel_record.h"
#include "serial/dura_serial.h"
#include "support/bvl_string.h"

namespace vyra {

namespace {

// Codes that read the channel list: they wait for the list itself, not only for the four
// description lines the reader thread builds it from.
bool ReadsChannels(uint32_t code) {
  switch (code) {
    case 11: case 21: case 30: case 41: case 42: case 43: case 60:
      return true;
    default:
      return false;
  }
}

// Host channel n (from 1); null when n is outside 1..count or the list is not built.
ChannelRecord* HostChannel(const DuraSerial& d, int32_t n) { return n >= 1 ? d.Channel(n - 1) : nullptr; }

// An empty answer leaves the host's buffer as it was; a long one is cut and terminated.
bool AnswerText(const HostCommandRecord& r, std::string_view text) {
  if (!text.empty()) BVL::CopyNarrowToHostBuffer(text, r.text, r.textSize);
  return true;
}

bool ApplyUploadPeriod(DuraSerial& d, int32_t period) {
  int32_t position = 0;
  if (!d.UploadRatePosition(period, position)) return false;
  // The whole position is sent: a cut number would select another rate.
  char command[16] = {'P'};
  auto [end, ec] = std::to_chars(command + 1, command + sizeof command, position);
  (void)ec;
  d.SendCommand(std::string_view(command, static_cast<size_t>(end - command)));
  d.uploadPeriod.store(period, std::memory_order_relaxed);
  return true;
}

bool IsSampling(const DuraSerial& d) { return d.acquisitionState.load(std::memory_order_acquire) == kSampling; }

}  // namespace

bool DuraSerial::RunHostCommand(uint32_t code, HostCommandRecord* record) {
  const bool needChannels = ReadsChannels(code);
  const WaitEnd described = WaitForDevice(
      [this, needChannels] { return DescriptionComplete() && (!needChannels || ChannelsReady()); },
      timing.descriptionLimitMs);
  // Complete lines without the list let the non-channel answers through; the channel ones
  // then fail on their own.
  if (described != WaitEnd::Ready && !DescriptionComplete()) {
    if (described == WaitEnd::TimedOut) notResponding.store(true, std::memory_order_release);
    return false;
  }
  if (!record) return false;
  HostCommandRecord& r = *record;

  switch (code) {
    case 0:
      return AnswerText(r, DeviceName());
    case 1:
      r.value = maxLineLength;
      return true;
    case 2:
      return AnswerText(r, isBranded ? "Brinvale Ltd." : "Dura Scientific");
    case 3:
      return AnswerText(r, FirmwareVersion());
    case 4:
      return AnswerText(r, serialNumber);
    case 11:
      r.value = ChannelCount();
      return true;
    case 21:
    case 30:
    case 60: {
      const ChannelRecord* ch = HostChannel(*this, r.argument);
      if (!ch) return false;
      return AnswerText(r, code == 21 ? ch->name : code == 30 ? ch->baseScalingText : ch->title);
    }
    case 31:
    case 45:
      r.value = uploadPeriod.load(std::memory_order_relaxed);
      return true;
    case 32: {
      // The host gets the current period; the list of periods it could also be handed has
      // no reader.
      const int32_t period = uploadPeriod.load(std::memory_order_relaxed);
      AnswerText(r, std::to_string(period));
      ApplyUploadPeriod(*this, period);
      return true;
    }
    case 35:
      return ApplyUploadPeriod(*this, r.argument);
    case 37: {
      const bool result = StartSampling();
      return WaitForDevice([this] { return IsSampling(*this); }, timing.samplingLimitMs) == WaitEnd::Ready && result;
    }
    case 38: {
      const bool result = StopSampling();
      return WaitForDevice([this] { return !IsSampling(*this); }, timing.samplingLimitMs) == WaitEnd::Ready && result;
    }
    case 39:
      return AnswerText(r, "text");
    case 41:
    case 42: {
      ChannelRecord* ch = HostChannel(*this, r.argument);
      if (!ch) return false;
      ch->enabled.store(code == 42, std::memory_order_relaxed);
      return true;
    }
    case 43: {
      const ChannelRecord* ch = HostChannel(*this, r.argument);
      return ch && ch->enabled.load(std::memory_order_relaxed);
    }
    case 56:
      r.value = 1;
      return true;
    default:
      BVL::CopyToHostBuffer(u"^Unsupported VMC command", r.text, r.textSize, HostCodePage());
      return false;
  }
}

}  // namespace vyra
