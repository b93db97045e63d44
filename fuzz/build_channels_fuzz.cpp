// The channel model from the four description lines (names, units, maxima, minima), as the
// core takes them in states 8 to 11; then every channel stores values across its range.
#include "fuzz_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  const bool branded = in.Byte() & 1;
  fuzz::Core core(branded);
  core.DriveTo(kAwaitChannelNames, false);
  if (core.Line("I") != kS_OK || core->State() != kAwaitChannelNames) fuzz::Fail();
  for (int i = 0; i < 4; ++i) core.Line(in.Until('\n'));
  // Further lines replace the minima while the build keeps failing.
  while (!in.Empty() && core->State() == kAwaitChannelMinima) core.Line(in.Until('\n'));
  if (core->State() != kReady) return 0;
  if (!core->ChannelsReady() || !core->DescriptionComplete()) fuzz::Fail();

  for (const ChannelInfo& ch : core->Channels()) {
    if (ch.decimalExponent < 0 || ch.samplePeriod != core->UploadPeriod()) fuzz::Fail();
    for (double v : {-1e30, -1.0, 0.0, 0.96, 512.3, 1e30, ch.minimum, ch.maximum})
      if (!fuzz::Core::WithinRange(ch, ch.Store(v))) fuzz::Fail();
  }
  return 0;
}
