// Reply handling while sampling: the reader thread's cost per sample line, which bounds
// how many devices and how fast a rate one process can follow. Target: >= 300,000 lines/s
// for 10-field lines on a 10-channel device (Release build). Measured twice: the protocol
// core alone (HandleLine, values summed), and the device (HandleReply: the core under its
// lock, the ring pushes, the end of the pass and the host's notification).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench_device.h"
#include "hostcmd/host_commands.h"

namespace vyra {
namespace {

const std::string kNames = "systol,diasto,mean B,HR,volume,flow,Pad,Body,c9,c10";
const std::string kUnits = "mmHg,mmHg,mmHg,bpm,ul,ml/min,degC,degC,u,u";
const std::string kMaxima = "300,300,300,900,500.0,50.00,50.0,50.0,1000.0,10.000";
const std::string kMinima = "0,0,0,0,0,0,0,0,-1000,-10";
const std::vector<std::string> kLines = {
    "121.5,80.25,94,352,12.5,3.25,35.1,37.2,-12.5,1.125",
    "122.0,81.00,95,351,12.4,3.30,35.1,37.2,-12.0,1.250",
    "*,*,96,350,12.6,*,35.2,37.1,*,1.375",
    "123.25,79.5,93,355,12.7,3.10,35.0,37.3,-11.5,0.875",
};

void Rate(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

class SummingOutput : public ProtocolCore::Output {
 public:
  void Send(std::string_view) override {}
  void ChannelsBuilt() override {}
  void Value(int32_t channel, int32_t value) override { sum += channel + value; }
  void Comment(int64_t, const BVL::String&) override {}
  void Note(std::string_view, const BVL::String&) override {}
  int64_t sum = 0;
};

void BM_CoreHandleLine(benchmark::State& state) {
  SummingOutput out;
  ProtocolCore core(false, out);
  core.BeginHandshake();
  for (const std::string& r : HandshakeReplies(false, kNames, kUnits, kMaxima, kMinima)) core.HandleLine(r, 0);
  core.StartSampling();
  core.HandleLine("B", 0);
  if (core.State() != kSampling || core.Channels().size() != 10) {
    state.SkipWithError("not sampling with 10 channels");
    return;
  }
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(core.HandleLine(kLines[i++ & 3], 0));
  benchmark::DoNotOptimize(out.sum);
  Rate(state);
}
BENCHMARK(BM_CoreHandleLine);

void BM_HandleSampleLine(benchmark::State& state) {
  auto d = bench::SamplingDevice(kNames, kUnits, kMaxima, kMinima);
  if (!d || d->ChannelCount() != 10) {
    state.SkipWithError("not sampling with 10 channels");
    return;
  }
  size_t i = 0;
  for (auto _ : state) {
    const std::string& line = kLines[i++ & 3];
    benchmark::DoNotOptimize(d->HandleReply(line.data(), static_cast<int>(line.size())));
    // Keep the rings from filling, as a consumer would.
    if ((i & 4095) == 0) DiscardSamples(*d);
  }
  Rate(state);
}
BENCHMARK(BM_HandleSampleLine);

// A paced stream hands the reader one line per wake, long after the last: caches and TLBs
// hold other work by then. Each line here follows a walk over 96 MiB; only the call is timed.
void BM_HandleSampleLineCold(benchmark::State& state) {
  auto d = bench::SamplingDevice(kNames, kUnits, kMaxima, kMinima);
  if (!d || d->ChannelCount() != 10) {
    state.SkipWithError("not sampling with 10 channels");
    return;
  }
  std::vector<char> evict(96 << 20, 1);
  size_t i = 0;
  double seconds = 0;
  for (auto _ : state) {
    for (size_t k = 0; k < evict.size(); k += 64) ++evict[k];
    benchmark::ClobberMemory();
    const std::string& line = kLines[i++ & 3];
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(d->HandleReply(line.data(), static_cast<int>(line.size())));
    const double call = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(call);
    seconds += call;
  }
  state.counters["us/line"] = seconds * 1e6 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_HandleSampleLineCold)->UseManualTime()->Iterations(400);

}  // namespace
}  // namespace vyra
