// The reply dispatcher: every complete line from the monitor is matched against the
// acquisition state, answered with the next command, and moves the state on.
#include "protocol/core.h"

#include <string>

#include "support/hot_path.h"

namespace vyra {

namespace {

// Byte by byte: every sample line is tested here, and memcmp would be one more cold library
// page for a reader waking to each line.
bool BeginsWith(std::string_view line, std::string_view prefix) {
  if (line.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (line[i] != prefix[i]) return false;
  return true;
}

bool BeginsWith(std::string_view line, char c) { return !line.empty() && line[0] == c; }

}  // namespace

void ProtocolCore::BeginHandshake() {
  Advance(kAwaitStart);
  out_.Send("S");
}

void ProtocolCore::StartSampling() {
  waveformSampleCount_ = 0;
  cycleStartSample_ = 0;
  sampleLineBacklog_ = 0;
  waveformInProgress_ = false;
  cycleSeen_ = false;
  if (isBranded_) {
    Advance(kAwaitWaveformInfo);
    out_.Send("WI5");
  } else {
    Advance(kAwaitBeginEcho);
    out_.Send("B");
  }
}

void ProtocolCore::StopSampling() {
  if (isBranded_) {
    Advance(kAwaitModeEchoOnStop);
    out_.Send("WN5");
  } else {
    Advance(kAwaitStopEcho);
    out_.Send("S");
  }
}

void ProtocolCore::SendUploadSelection() {
  std::string command(1, 'U');
  command.append(parameterCount_, '1');
  out_.Send(command);
}

BVL::String ProtocolCore::TakeErrorText() {
  BVL::String t = errorText_;
  errorText_ = BVL::String();
  return t;
}

bool ProtocolCore::DescriptionComplete() const {
  return !namesLine_.IsEmpty() && !unitsLine_.IsEmpty() && !maximaLine_.IsEmpty() && !minimaLine_.IsEmpty();
}

VYRA_HOT_PATH HResult ProtocolCore::HandleLine(std::string_view line, LineTime now) noexcept {
  try {
    // The reply as text ends at a NUL. Looked for in a loop: lines are short, and memchr
    // would be one more cold library page for a reader waking to each line.
    size_t length = 0;
    while (length < line.size() && line[length] != '\0') ++length;
    return Dispatch(line.substr(0, length), now);
  } catch (...) {
    // A line that cannot be handled (no memory, a bad length) fails alone; the next one is
    // handled as usual.
    return kE_FAIL;
  }
}

VYRA_HOT_PATH HResult ProtocolCore::Dispatch(std::string_view v, LineTime now) {
  // Nearly every line is a sample line, read from its bytes; only the rare replies are made
  // text.
  if (state_ != kSampling) return HandleAwaitedReply(v);
  ServiceWaveform(now);
  if (BeginsWith(v, "w5")) {
    HandleWaveformLine(v, now);
    return kS_OK;
  }
  if (BeginsWith(v, 'm')) return HandleMeasurementLine(BVL::String(v.data(), static_cast<int>(v.size())));
  HandleSampleLine(v);
  return kS_OK;
}

// The handshake, start and stop: each state awaits one reply. Apart from Dispatch, so that
// what every sample line runs stays on few code pages.
HResult ProtocolCore::HandleAwaitedReply(std::string_view v) {
  auto text = [v] { return BVL::String(v.data(), static_cast<int>(v.size())); };
  switch (state_) {
    case kAwaitStart:
      if (!BeginsWith(v, 'S')) return kS_OK;
      if (isBranded_) {
        out_.Send("WN5");
        Advance(kAwaitModeEcho);
      } else {
        out_.Send("V");
        Advance(kAwaitVersion);
      }
      return kS_OK;

    case kAwaitModeEcho:
      if (!BeginsWith(v, "WN5")) return kS_OK;
      out_.Send("V");
      Advance(kAwaitVersion);
      return kS_OK;

    case kAwaitVersion: {
      if (!BeginsWith(v, 'V')) return kS_OK;
      const BVL::String line = text();
      out_.Note("version: ", line);
      if (IdentifyDevice(line) != kS_OK) return kE_FAIL;
      if (isBranded_) {
        out_.Send("BvL");
        Advance(kAwaitBrandEcho);
      } else {
        out_.Send("F");
        Advance(kAwaitParameters);
      }
      return kS_OK;
    }

    case kAwaitBrandEcho:
      if (!BeginsWith(v, 'A')) return kS_OK;
      out_.Send("F");
      Advance(kAwaitParameters);
      return kS_OK;

    case kAwaitParameters: {
      // A list whose first character is 'F' is taken for another echo; the device's
      // parameter names do not begin so.
      if (BeginsWith(v, 'F')) {
        listFollows_ = true;
        return kS_OK;
      }
      if (!listFollows_) return kS_OK;
      listFollows_ = false;
      out_.Note("params: ", text());
      uint32_t commas = 0;
      for (char c : v) commas += c == ',';
      parameterCount_ = 1 + commas;
      Advance(kAwaitUploadRates);
      return kS_OK;
    }

    case kAwaitUploadRates: {
      const BVL::String line = text();
      out_.Note("upload rates: ", line);
      ParseUploadRates(line);  // a list without periods still lets the handshake go on
      SendUploadSelection();
      Advance(kAwaitUploadEcho);
      return kS_OK;
    }

    case kAwaitUploadEcho:
      if (!BeginsWith(v, 'U')) return kS_OK;
      out_.Send("I");
      Advance(kAwaitChannelNames);
      return kS_OK;

    case kAwaitChannelNames:
      if (BeginsWith(v, 'I')) {
        listFollows_ = true;
        return kS_OK;
      }
      if (!listFollows_) return kS_OK;
      listFollows_ = false;
      namesLine_ = text();
      out_.Note("channel names: ", namesLine_);
      Advance(kAwaitChannelUnits);
      return kS_OK;

    case kAwaitChannelUnits:
      unitsLine_ = text();
      out_.Note("channel units: ", unitsLine_);
      Advance(kAwaitChannelMaxima);
      return kS_OK;

    case kAwaitChannelMaxima:
      maximaLine_ = text();
      out_.Note("channel maxVals: ", maximaLine_);
      Advance(kAwaitChannelMinima);
      return kS_OK;

    case kAwaitChannelMinima:
      minimaLine_ = text();
      out_.Note("channel minVals: ", minimaLine_);
      // The description is complete even when the list cannot be built, and non-channel
      // commands wait for nothing more; the next line replaces the minima and retries.
      if (!BuildChannels()) return kE_FAIL;
      Advance(kReady);
      return kS_OK;

    case kAwaitWaveformInfo:
      if (!BeginsWith(v, "WI5")) return kS_OK;
      if (ParseWaveformInfo(text()) != kS_OK) return kE_FAIL;
      out_.Send("B");
      Advance(kAwaitBeginEcho);
      return kS_OK;

    case kAwaitBeginEcho:
      if (!BeginsWith(v, 'B')) return kS_OK;
      if (isBranded_) {
        out_.Send("WA5");
        Advance(kAwaitWaveformEcho);
      } else {
        Advance(kSampling);
      }
      return kS_OK;

    case kAwaitWaveformEcho:
      if (!BeginsWith(v, "WA5")) return kS_OK;
      Advance(kSampling);
      return kS_OK;

    case kAwaitModeEchoOnStop:
      if (!BeginsWith(v, "WN5")) return kS_OK;
      if (waveformInProgress_) PostComment(0, u"error: incomplete waveform upload");
      out_.Send("S");
      Advance(kAwaitStopEcho);
      return kS_OK;

    case kAwaitStopEcho:
      if (!BeginsWith(v, 'S')) return kS_OK;
      Advance(kReady);
      return kS_OK;

    default:  // created, ready, and the unused values: nothing is awaited
      return kS_OK;
  }
}

}  // namespace vyra
