// DeviceCommand: the numbered host commands answered from the device object.
#include <charconv>
#include <string>
#include <string_view>

#include "framework/locale.h"
#include "hostcmd/host_commands.h"
#include "platform/codepage.h"
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

}  // namespace

bool RunHostCommand(DuraSerial& d, uint32_t code, HostCommandRecord* record) {
  const bool needChannels = ReadsChannels(code);
  const DuraSerial::WaitEnd described = d.WaitForDevice(
      [&d, needChannels] { return d.DescriptionComplete() && (!needChannels || d.ChannelsReady()); },
      d.timing.descriptionLimitMs);
  // Complete lines without the list let the non-channel answers through; the channel ones
  // then fail on their own.
  if (described != DuraSerial::WaitEnd::Ready && !d.DescriptionComplete()) {
    if (described == DuraSerial::WaitEnd::TimedOut) d.notResponding.store(true, std::memory_order_release);
    return false;
  }
  if (!record) return false;
  HostCommandRecord& r = *record;

  switch (code) {
    case 0:
      return AnswerText(r, d.DeviceName());
    case 1:
      r.value = kMaxLineLength;
      return true;
    case 2:
      return AnswerText(r, d.isBranded ? "Brinvale Ltd." : "Dura Scientific");
    case 3:
      return AnswerText(r, d.FirmwareVersion());
    case 4:
      return AnswerText(r, d.serialNumber);
    case 11:
      r.value = d.ChannelCount();
      return true;
    case 21:
    case 30:
    case 60: {
      const ChannelRecord* ch = HostChannel(d, r.argument);
      if (!ch) return false;
      return AnswerText(r, code == 21 ? ch->name : code == 30 ? ch->baseScalingText : ch->title);
    }
    case 31:
    case 45:
      r.value = d.UploadPeriod();
      return true;
    case 32: {
      // The host gets the current period; the list of periods it could also be handed has
      // no reader.
      const int32_t period = d.UploadPeriod();
      AnswerText(r, std::to_string(period));
      d.SelectPeriod(period);
      return true;
    }
    case 35:
      return d.SelectPeriod(r.argument);
    case 37: {
      const bool result = d.StartSampling();
      return d.WaitForDevice([&d] { return d.IsSampling(); }, d.timing.samplingLimitMs) == DuraSerial::WaitEnd::Ready &&
             result;
    }
    case 38: {
      const bool result = d.StopSampling();
      return d.WaitForDevice([&d] { return !d.IsSampling(); }, d.timing.samplingLimitMs) == DuraSerial::WaitEnd::Ready &&
             result;
    }
    case 39:
      return AnswerText(r, "text");
    case 41:
    case 42: {
      ChannelRecord* ch = HostChannel(d, r.argument);
      if (!ch) return false;
      ch->enabled.store(code == 42, std::memory_order_relaxed);
      return true;
    }
    case 43: {
      const ChannelRecord* ch = HostChannel(d, r.argument);
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
