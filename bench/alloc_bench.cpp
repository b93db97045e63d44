// Heap use on the sample path: a counting allocator (every operator new and malloc of this
// process, any thread) around the reader thread's handling of sample lines (HandleReply:
// the core, the ring pushes, the end of the pass) and around the ring producer and the host's
// ReadLine. Target: 0 allocations per sample line and per sample.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "bench_device.h"
#include "hostcmd/host_commands.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<uint64_t> gAllocations{0};
}

extern "C" void* malloc(size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
extern "C" void free(void* p) { __libc_free(p); }

void* operator new(size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = __libc_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(size_t n, std::align_val_t a) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = __libc_memalign(static_cast<size_t>(a), n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }

namespace vyra {
namespace {

// Pushes on four channels' rings, then ReadLine until they are drained, as a host drains them.
void BM_RingAndReadLineAllocations(benchmark::State& state) {
  auto d = bench::SamplingDevice(4);
  if (!d) {
    state.SkipWithError("not sampling");
    return;
  }
  char buffer[2048];
  uint64_t samples = 0, allocations = 0;
  for (auto _ : state) {
    const uint64_t a0 = gAllocations.load();
    for (int32_t c = 0; c < 4; ++c)
      if (ChannelRecord* ch = d->Channel(c))
        for (int i = 0; i < 64; ++i) ch->Push(i * 15 - 20);
    for (int calls = 0; calls < 64; ++calls) {
      bool any = false;
      for (int32_t c = 0; c < 4; ++c) any = any || d->Channel(c)->Buffered() > 0;
      if (!any) break;
      benchmark::DoNotOptimize(ReadLine(*d, buffer, sizeof buffer, 0));
    }
    allocations += gAllocations.load() - a0;
    samples += 4 * 64;
  }
  state.counters["allocs_per_sample"] = samples ? static_cast<double>(allocations) / samples : -1;
  state.counters["samples"] = static_cast<double>(samples);
}
BENCHMARK(BM_RingAndReadLineAllocations);

// Sample lines through HandleReply while sampling, from the first line on (nothing warmed
// up); the rings are emptied now and then outside the count, as the host would.
void BM_SampleLineAllocations(benchmark::State& state) {
  auto d = bench::SamplingDevice("systol,diasto,mean B,HR,volume", "mmHg,mmHg,mmHg,bpm,uliters", "300,300,300,900,500.0",
                                 "0,0,0,0,0");
  if (!d || d->ChannelCount() != 5) {
    state.SkipWithError("not sampling with 5 channels");
    return;
  }
  const std::string lines[] = {"121.5,80.25,94,352,12", "*,80.5,*,351,12.25"};
  uint64_t count = 0, allocations = 0, sinceFlush = 0;
  for (auto _ : state) {
    if (sinceFlush == 1024) {
      DiscardSamples(*d);
      sinceFlush = 0;
    }
    const std::string& line = lines[count++ & 1];
    const uint64_t a0 = gAllocations.load();
    d->HandleReply(line.data(), static_cast<int>(line.size()));
    allocations += gAllocations.load() - a0;
    ++sinceFlush;
  }
  int64_t buffered = 0;
  for (int32_t c = 0; c < d->ChannelCount(); ++c) buffered += d->Channel(c)->Buffered();
  state.counters["allocs_per_line"] = count ? static_cast<double>(allocations) / count : -1;
  state.counters["lines"] = static_cast<double>(count);
  // 5: every line reached the rings.
  state.counters["values_per_line"] = sinceFlush ? static_cast<double>(buffered) / sinceFlush : -1;
}
BENCHMARK(BM_SampleLineAllocations);

}  // namespace
}  // namespace vyra
