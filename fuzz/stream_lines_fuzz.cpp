// Lines of a device while sampling (branded unless flag 1): waveform (w5), measurement (m)
// and sample lines; a waveform-information reply (WI5) restarts sampling through its
// handshake, as the host's start does. Time passes between lines.
//
// Input: flags (not branded, time column, time step), then one line per LF.
#include "fuzz_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  const uint8_t flags = in.Byte();
  const int64_t stepMs = 5 * (flags >> 3);  // 0 .. 155 ms per line: reaches the waveform time-out
  fuzz::Core core(!(flags & 1));
  core.DriveTo(kSampling, flags & 2);
  if (core->State() != kSampling || core->Channels().size() != (core->Branded() ? 7u : 5u)) fuzz::Fail();
  while (!in.Empty()) {
    const std::string_view line = in.Until('\n');
    core.nowMs += stepMs;
    if (line.substr(0, 3) == "WI5") {
      core->StartSampling();
      core.Line(line);
      if (core->State() == kAwaitWaveformInfo) core.Line("WI5,1,200,20,2,300,0,0,0,0,0,0");  // refused
      core.Line("B");
      core.Line("WA5");
      if (core->State() != kSampling) fuzz::Fail();
      continue;
    }
    core.Line(line);
    if (core->State() != kSampling) fuzz::Fail();  // no streamed line ends sampling
  }
  return 0;
}
