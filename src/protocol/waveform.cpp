// Waveform uploads of the branded monitor and the comments that mark each pressure cycle.
//
// The waveform channels ("O-Cuff", "VPR") are kept in step with the sample lines: every
// waveform value fills two samples per channel, and when no upload is running the channels
// are padded with zeros so they never lag the sample lines by more than 20 samples.
#include <cstdint>
#include <string_view>

#include "protocol/core.h"
#include "protocol/fields.h"
#include "support/hot_path.h"

namespace vyra {
namespace {

constexpr int32_t kMaxWaveformLag = 20;           // sample lines the waveform channels may trail by
constexpr int32_t kValuesAfterUnfinished = 750;   // upload size assumed after a cut-off upload
constexpr int32_t kValuesAfterOverrun = 1000;     // upload size assumed after a block beyond it

int32_t FieldInt(BVL::String& field) { return ReadInt(field.NarrowText()); }

int32_t DoubledIndex(BVL::String& field) { return SaturateToInt32(2.0 * FieldInt(field)); }

}  // namespace

HResult ProtocolCore::ParseWaveformInfo(const BVL::String& line) {
  std::vector<BVL::String> fields = SplitFields(line);
  if (fields.size() < 12) return kE_FAIL;
  expectedWaveformValues_ = FieldInt(fields[2]);
  return kS_OK;
}

VYRA_HOT_PATH void ProtocolCore::ServiceWaveform(LineTime now) {
  if (!isBranded_) return;
  if (waveformInProgress_) {
    if (now.Ms() < lastWaveformTime_ + kWaveformTimeoutMs) return;
    waveformInProgress_ = false;
    PostComment(0, BVL::String(u"error: incomplete waveform upload"));
  }
  const bool ready = channelsReady_;
  while (sampleLineBacklog_ > kMaxWaveformLag) {
    if (ready && cuffChannel_ >= 0) Push(cuffChannel_, 0.0);
    if (ready && vprChannel_ >= 0) Push(vprChannel_, 0.0);
    ++waveformSampleCount_;
    --sampleLineBacklog_;
  }
}

VYRA_HOT_PATH void ProtocolCore::HandleWaveformLine(std::string_view line, LineTime now) {
  if (!isBranded_) return;
  FieldReader fields(line);
  // A block without its index cannot be placed in the upload; it is ignored.
  if (fields.Count() < 2) return;
  lastWaveformTime_ = now.Ms();
  const int64_t n = static_cast<int64_t>(fields.Count());
  waveformInProgress_ = true;

  fields.Next();
  const int32_t start = ReadInt(fields.Next());
  const int32_t expected = expectedWaveformValues_;
  if (start == 0) {
    cycleStartSample_ = waveformSampleCount_;
    cycleSeen_ = true;
  } else if (static_cast<int64_t>(start) == static_cast<int64_t>(expected) - (n - 2)) {
    waveformInProgress_ = false;
  } else if (start >= expected) {
    expectedWaveformValues_ = kValuesAfterOverrun;
  }

  const bool ready = channelsReady_;
  for (int64_t i = 2; i < n; ++i) {
    const int32_t target = !ready ? -1 : (i % 2 != 0) ? vprChannel_ : cuffChannel_;
    const std::string_view field = fields.Next();
    if (target >= 0) {
      Push(target, static_cast<double>(ParseNumber(field)));
      Repeat(target);
    }
    ++waveformSampleCount_;
    --sampleLineBacklog_;
  }
}

HResult ProtocolCore::HandleMeasurementLine(const BVL::String& line) {
  if (!isBranded_) return kS_OK;
  if (waveformInProgress_) {
    waveformInProgress_ = false;
    // The result of a cut-off upload; a second one in a row is dropped.
    if (expectedWaveformValues_ == kValuesAfterUnfinished) return kS_OK;
    expectedWaveformValues_ = kValuesAfterUnfinished;
  }
  std::vector<BVL::String> fields = SplitFields(line);
  if (fields.size() < 16) return kE_FAIL;

  if (cycleSeen_) {
    if (FieldInt(fields[12]) == 0) {
      BVL::String systolic(u"Systolic BP = ");
      systolic += fields[7];
      systolic += u" mmHg";
      PostComment(DoubledIndex(fields[14]), systolic);
      BVL::String diastolic(u"Diastolic BP = ");
      diastolic += fields[6];
      diastolic += u" mmHg";
      PostComment(DoubledIndex(fields[13]), diastolic);
    } else {
      PostComment(0, BVL::String(u"error: failed to calcuate BP values"));
    }
  } else {
    PostComment(waveformSampleCount_, BVL::String(u"note: waveform cycle started prior to sampling"));
  }
  return kS_OK;
}

void ProtocolCore::PostComment(int32_t offset, const BVL::String& text) {
  // Comments go on the VPR channel; a device without one makes none.
  if (!channelsReady_ || vprChannel_ < 0) return;
  out_.Comment(static_cast<int64_t>(offset) + cycleStartSample_, text);
}

}  // namespace vyra
