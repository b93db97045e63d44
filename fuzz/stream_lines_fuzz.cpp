// Lines of a branded device while sampling: waveform (w5), measurement (m), sample lines,
// and the waveform-information reply (WI5); the host drains the channels now and then.
#include <vector>

#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  const uint8_t flags = in.Byte();
  DuraSerial* d = fuzz::ReusedSamplingDevice(!(flags & 1), flags & 2);
  if (!d) __builtin_trap();
  d->expectedWaveformValues = 200;
  char host[512];
  int lines = 0;
  while (!in.Empty()) {
    std::string_view line = in.Until('\n');
    if (line.size() >= 3 && line.substr(0, 3) == "WI5") {
      d->acquisitionState = kAwaitWaveformInfo;
      (void)d->ParseWaveformInfo(BVL::String(line.data(), static_cast<int>(line.size())));
      fuzz::Feed(*d, line);
      d->acquisitionState = kSampling;
      continue;
    }
    fuzz::Feed(*d, line);
    if (++lines % 8 == 0 && (flags & 4)) {
      while (d->ReadDataLines(host, sizeof host)) {
      }
    }
  }
  for (int32_t i = 0; i < d->ChannelCount(); ++i)
    if (d->Channel(i)->Buffered() > ChannelRecord::kRingMask) __builtin_trap();
  return 0;
}
