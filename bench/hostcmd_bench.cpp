// Host-side data path: how fast ReadLine turns buffered samples into data lines, and what a
// host thread waiting in ReadLine without data costs compared with polling for the same time.
#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench_device.h"
#include "hostcmd/host_commands.h"

namespace vyra {
namespace {

// Samples per second through ReadLine, for a host buffer of range(0) bytes; four channels,
// 4096 samples each per round, typical scaled values (up to five digits, some negative).
void BM_ReadLineFormatting(benchmark::State& state) {
  constexpr int kChannels = 4;
  constexpr int kPerChannel = 4096;
  auto d = bench::SamplingDevice(kChannels);
  if (!d) {
    state.SkipWithError("not sampling");
    return;
  }
  std::vector<char> buffer(static_cast<size_t>(state.range(0)));
  int64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int32_t c = 0; c < kChannels; ++c)
      if (ChannelRecord* ch = d->Channel(c))
        for (int i = 0; i < kPerChannel; ++i) ch->Push((i * 7919) % 32000 - 2000);
    state.ResumeTiming();
    for (;;) {
      bool any = false;
      for (int32_t c = 0; c < kChannels; ++c) any = any || d->Channel(c)->Buffered() > 0;
      if (!any) break;
      if (ReadLine(*d, buffer.data(), static_cast<int32_t>(buffer.size()), 0)) {
        bytes += static_cast<int64_t>(strlen(buffer.data()));
      } else {  // a drained channel is due
        d->Rings().nextLine.store((d->Rings().nextLine.load() + 1) % kChannels);
      }
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * kChannels * kPerChannel);
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ReadLineFormatting)->Arg(256)->Arg(2048)->Arg(65536);

double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// A host thread waits range(0) ms in ReadLine with no data, then the same wait is done by
// polling ReadDataLines as a plain loop would; process CPU time of each, in one run.
void BM_IdleReadLineCpu(benchmark::State& state) {
  const int32_t waitMs = static_cast<int32_t>(state.range(0));
  auto d = bench::SamplingDevice(2);
  if (!d) {
    state.SkipWithError("not sampling");
    return;
  }
  double notifiedMs = 0, spinningMs = 0;
  for (auto _ : state) {
    double c0 = ProcessCpuMs();
    std::thread host([&] {
      char buffer[2048];
      benchmark::DoNotOptimize(ReadLine(*d, buffer, sizeof buffer, waitMs));
    });
    host.join();
    notifiedMs = ProcessCpuMs() - c0;

    c0 = ProcessCpuMs();
    std::thread spinner([&] {
      char buffer[2048];
      const int64_t t0 = NowMs();
      while (!ReadDataLines(*d, buffer, sizeof buffer) && NowMs() - t0 < waitMs) {
      }
    });
    spinner.join();
    spinningMs = ProcessCpuMs() - c0;
  }
  state.counters["cpu_ms_waiting"] = notifiedMs;
  state.counters["cpu_ms_spinning"] = spinningMs;
  state.counters["waiting_pct_of_spinning"] = spinningMs > 0 ? 100.0 * notifiedMs / spinningMs : 0;
}
BENCHMARK(BM_IdleReadLineCpu)->Arg(3000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vyra
