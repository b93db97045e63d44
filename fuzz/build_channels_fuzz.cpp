// The channel model from the four description lines (names, units, maxima, minima), as the
// dispatcher stores them in states 8 to 11; then the channels are filled as samples would.
#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  const bool branded = in.Byte() & 1;
  auto d = fuzz::MakeDevice(branded);
  d->uploadPeriod = 20000;
  d->acquisitionState = kAwaitChannelNames;
  fuzz::Feed(*d, "I");
  for (int i = 0; i < 4; ++i) fuzz::Feed(*d, in.Until('\n'));
  // Further lines replace the minima while the build keeps failing.
  while (!in.Empty() && d->acquisitionState == kAwaitChannelMinima) fuzz::Feed(*d, in.Until('\n'));
  if (d->acquisitionState != kReady) return 0;

  const int32_t n = d->ChannelCount();
  for (int32_t i = 0; i < n; ++i) {
    ChannelRecord* ch = d->Channel(i);
    if (ch->decimalExponent < 0) __builtin_trap();
    for (double v : {-1e30, -1.0, 0.0, 0.96, 512.3, 1e30}) ch->PushValue(v);
    ch->RepeatLastValue();
    while (ch->Buffered() > 0) {
      (void)ch->Front();
      ch->PopFront();
    }
  }
  return 0;
}
