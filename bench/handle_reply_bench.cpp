// Reply handling while sampling: the reader thread's cost per sample line, which bounds
// how many devices and how fast a rate one process can follow. Target: >= 300,000 lines/s
// for 10-field lines on a 10-channel device (Release build).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "serial/dura_serial.h"

namespace {

void Feed(vyra::DuraSerial& d, const std::string& line) { d.HandleReply(line.data(), static_cast<int>(line.size())); }

std::unique_ptr<vyra::DuraSerial> SamplingDevice() {
  auto d = std::make_unique<vyra::DuraSerial>(u"/dev/null-bench", u"z800");
  d->acquisitionState = vyra::kAwaitChannelNames;
  Feed(*d, "I");
  Feed(*d, "systol,diasto,mean B,HR,volume,flow,Pad,Body,c9,c10");
  Feed(*d, "mmHg,mmHg,mmHg,bpm,ul,ml/min,degC,degC,u,u");
  Feed(*d, "300,300,300,900,500.0,50.00,50.0,50.0,1000.0,10.000");
  Feed(*d, "0,0,0,0,0,0,0,0,-1000,-10");
  if (d->ChannelCount() != 10) return nullptr;
  d->parameterCount = 10;
  d->acquisitionState = vyra::kSampling;
  return d;
}

void BM_HandleSampleLine(benchmark::State& state) {
  auto d = SamplingDevice();
  if (!d) {
    state.SkipWithError("channel list not built");
    return;
  }
  const std::vector<std::string> lines = {
      "121.5,80.25,94,352,12.5,3.25,35.1,37.2,-12.5,1.125",
      "122.0,81.00,95,351,12.4,3.30,35.1,37.2,-12.0,1.250",
      "*,*,96,350,12.6,*,35.2,37.1,*,1.375",
      "123.25,79.5,93,355,12.7,3.10,35.0,37.3,-11.5,0.875",
  };
  size_t i = 0;
  for (auto _ : state) {
    const std::string& line = lines[i++ & 3];
    benchmark::DoNotOptimize(d->HandleReply(line.data(), static_cast<int>(line.size())));
    // Keep the rings from filling, as a consumer would.
    if ((i & 4095) == 0)
      d->DiscardSamples();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HandleSampleLine);

}  // namespace
