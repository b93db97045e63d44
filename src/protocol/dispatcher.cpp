// The reply dispatcher: every complete line from the monitor passes through HandleReply on
// the reader thread, which matches it against the acquisition state, sends the next
// command and moves the state on.
#include <exception>
#include <string>

#include "framework/log.h"
#include "serial/dura_serial.h"

namespace vyra {

namespace {

bool BeginsWith(std::u16string_view line, std::u16string_view prefix) {
  return line.size() >= prefix.size() && line.substr(0, prefix.size()) == prefix;
}

bool BeginsWith(std::u16string_view line, char16_t c) { return !line.empty() && line[0] == c; }

}  // namespace

bool DuraSerial::SendCommand(std::string_view text) {
  // The device's frame is 30 bytes with its terminator, but a command that does not fit is
  // still sent whole: a cut command would select the wrong parameters or rate.
  char small[32];
  std::string large;
  const char* frame = small;
  const size_t size = text.size() + 2;
  try {
    if (size <= sizeof small) {
      small[0] = ':';
      text.copy(small + 1, text.size());
      small[size - 1] = '\n';
    } else {
      large.reserve(size);
      large += ':';
      large += text;
      large += '\n';
      frame = large.data();
    }
    if (commandObserver) commandObserver(std::string_view(frame, size));
  } catch (...) {
    return false;
  }
  return WriteBytes(frame, size);
}

bool DuraSerial::SendUploadSelection() {
  try {
    std::string command(1, 'U');
    command.append(parameterCount.load(std::memory_order_relaxed), '1');
    return SendCommand(command);
  } catch (...) {
    return false;
  }
}

bool DuraSerial::StartSampling() {
  RefreshHostDocument();
  dataLineChannel.store(0, std::memory_order_relaxed);
  waveformSampleCount.store(0, std::memory_order_relaxed);
  cycleStartSample.store(0, std::memory_order_relaxed);
  sampleLineBacklog.store(0, std::memory_order_relaxed);
  waveformInProgress.store(false, std::memory_order_relaxed);
  cycleSeen.store(false, std::memory_order_relaxed);
  // The state is set before the command goes out: the reader thread may receive the echo
  // before the write returns, and must then already be waiting for it.
  if (isBranded) {
    acquisitionState.store(kAwaitWaveformInfo, std::memory_order_release);
    SendCommand("WI5");
  } else {
    acquisitionState.store(kAwaitBeginEcho, std::memory_order_release);
    SendCommand("B");
  }
  return true;
}

bool DuraSerial::StopSampling() {
  if (isBranded) {
    acquisitionState.store(kAwaitModeEchoOnStop, std::memory_order_release);
    SendCommand("WN5");
  } else {
    acquisitionState.store(kAwaitStopEcho, std::memory_order_release);
    SendCommand("S");
  }
  return true;
}

HResult DuraSerial::HandleReply(const char* bytes, int length) {
  try {
    BVL::String line(bytes, length);
    const std::u16string_view v = line.View();
    const int32_t state = acquisitionState.load(std::memory_order_acquire);

    // Moves the state on unless a host thread has set it meanwhile (start or stop of
    // sampling), whose setting then stands.
    auto advance = [this, state](int32_t to) {
      int32_t expected = state;
      acquisitionState.compare_exchange_strong(expected, to, std::memory_order_acq_rel);
      NotifyHost();
    };

    switch (state) {
      case kAwaitStart:
        if (!BeginsWith(v, u'S')) return kS_OK;
        if (isBranded) {
          SendCommand("WN5");
          advance(kAwaitModeEcho);
        } else {
          SendCommand("V");
          advance(kAwaitVersion);
        }
        return kS_OK;

      case kAwaitModeEcho:
        if (!BeginsWith(v, u"WN5")) return kS_OK;
        SendCommand("V");
        advance(kAwaitVersion);
        return kS_OK;

      case kAwaitVersion:
        if (!BeginsWith(v, u'V')) return kS_OK;
        LogEntry("version: ", line);
        if (IdentifyDevice(line) != kS_OK) return kE_FAIL;
        if (isBranded) {
          SendCommand("BvL");
          advance(kAwaitBrandEcho);
        } else {
          SendCommand("F");
          advance(kAwaitParameters);
        }
        return kS_OK;

      case kAwaitBrandEcho:
        if (!BeginsWith(v, u'A')) return kS_OK;
        SendCommand("F");
        advance(kAwaitParameters);
        return kS_OK;

      case kAwaitParameters: {
        // A list whose first character is 'F' is taken for another echo; the device's
        // parameter names do not begin so.
        if (BeginsWith(v, u'F')) {
          listFollows = true;
          return kS_OK;
        }
        if (!listFollows) return kS_OK;
        listFollows = false;
        LogEntry("params: ", line);
        uint32_t commas = 0;
        for (char16_t c : v) commas += c == u',';
        parameterCount.store(1 + commas, std::memory_order_relaxed);
        advance(kAwaitUploadRates);
        return kS_OK;
      }

      case kAwaitUploadRates:
        LogEntry("upload rates: ", line);
        ParseUploadRates(line);  // a list without periods still lets the handshake go on
        SendUploadSelection();
        advance(kAwaitUploadEcho);
        return kS_OK;

      case kAwaitUploadEcho:
        if (!BeginsWith(v, u'U')) return kS_OK;
        SendCommand("I");
        advance(kAwaitChannelNames);
        return kS_OK;

      case kAwaitChannelNames:
        if (BeginsWith(v, u'I')) {
          listFollows = true;
          return kS_OK;
        }
        if (!listFollows) return kS_OK;
        listFollows = false;
        {
          std::lock_guard lock(textMutex);
          channelNamesLine = line;
        }
        LogEntry("channel names: ", line);
        advance(kAwaitChannelUnits);
        return kS_OK;

      case kAwaitChannelUnits:
        {
          std::lock_guard lock(textMutex);
          channelUnitsLine = line;
        }
        LogEntry("channel units: ", line);
        advance(kAwaitChannelMaxima);
        return kS_OK;

      case kAwaitChannelMaxima:
        {
          std::lock_guard lock(textMutex);
          channelMaximaLine = line;
        }
        LogEntry("channel maxVals: ", line);
        advance(kAwaitChannelMinima);
        return kS_OK;

      case kAwaitChannelMinima:
        {
          std::lock_guard lock(textMutex);
          channelMinimaLine = line;
        }
        LogEntry("channel minVals: ", line);
        if (!BuildChannels()) {
          // The description is complete even so, and non-channel commands wait for nothing
          // more; the next line replaces the minima and retries.
          NotifyHost();
          return kE_FAIL;
        }
        advance(kReady);
        return kS_OK;

      case kAwaitWaveformInfo:
        if (!BeginsWith(v, u"WI5")) return kS_OK;
        if (ParseWaveformInfo(line) != kS_OK) return kE_FAIL;
        SendCommand("B");
        advance(kAwaitBeginEcho);
        return kS_OK;

      case kAwaitBeginEcho:
        if (!BeginsWith(v, u'B')) return kS_OK;
        if (isBranded) {
          SendCommand("WA5");
          advance(kAwaitWaveformEcho);
        } else {
          advance(kSampling);
        }
        return kS_OK;

      case kAwaitWaveformEcho:
        if (!BeginsWith(v, u"WA5")) return kS_OK;
        advance(kSampling);
        return kS_OK;

      case kAwaitModeEchoOnStop:
        if (!BeginsWith(v, u"WN5")) return kS_OK;
        if (waveformInProgress.load(std::memory_order_relaxed)) PostComment(0, u"error: incomplete waveform upload");
        SendCommand("S");
        advance(kAwaitStopEcho);
        return kS_OK;

      case kAwaitStopEcho:
        if (!BeginsWith(v, u'S')) return kS_OK;
        advance(kReady);
        return kS_OK;

      case kSampling: {
        ServiceWaveform();
        HResult status;
        if (BeginsWith(v, u"w5")) {
          status = HandleWaveformLine(line);
        } else if (BeginsWith(v, u'm')) {
          status = HandleMeasurementLine(line);
        } else {
          status = HandleSampleLine(line);
        }
        NotifyHost();
        return status;
      }

      default:  // created, ready, and the unused values: nothing is awaited
        return kS_OK;
    }
  } catch (...) {
    // A line that cannot be handled (no memory, a bad length) fails alone; the reader
    // thread goes on with the next one.
    return kE_FAIL;
  }
}

}  // namespace vyra
