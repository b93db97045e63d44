// Heap use on the sample path: a counting allocator (every operator new and malloc of this
// process) around the ring producer (PushValue) and the host's ReadLine. Target: 0 allocations
// per sample. The reply path (HandleReply on sample lines) is shown for comparison: splitting
// a line into field strings allocates by design.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "hostcmd_fixture.h"

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

// PushValue on four channels, then ReadLine until they are drained, as a host drains them.
void BM_RingAndReadLineAllocations(benchmark::State& state) {
  auto d = hostcmd_test::MakeDevice();
  hostcmd_test::Describe(*d);
  hostcmd_test::AddChannels(*d, {"A", "B", "C", "D"});
  d->acquisitionState = kSampling;
  char buffer[2048];
  uint64_t samples = 0, allocations = 0;
  for (auto _ : state) {
    const uint64_t a0 = gAllocations.load();
    for (auto& ch : d->channels)
      for (int i = 0; i < 64; ++i) ch->PushValue(i * 1.5 - 20);
    for (int calls = 0; calls < 64; ++calls) {
      bool any = false;
      for (auto& ch : d->channels) any = any || ch->Buffered() > 0;
      if (!any) break;
      benchmark::DoNotOptimize(d->ReadLine(buffer, sizeof buffer, 0));
    }
    allocations += gAllocations.load() - a0;
    samples += 4 * 64;
  }
  state.counters["allocs_per_sample"] = samples ? static_cast<double>(allocations) / samples : -1;
  state.counters["samples"] = static_cast<double>(samples);
}
BENCHMARK(BM_RingAndReadLineAllocations);

void BM_SampleLineAllocations(benchmark::State& state) {
  auto d = hostcmd_test::MakeDevice();
  d->acquisitionState = kAwaitChannelNames;
  for (const char* l : {"I", "systol,diasto,mean B,HR,volume", "mmHg,mmHg,mmHg,bpm,uliters", "300,300,300,900,500.0",
                        "0,0,0,0,0"})
    d->HandleReply(l, static_cast<int>(std::char_traits<char>::length(l)));
  d->parameterCount = 5;
  d->acquisitionState = kSampling;
  const std::string line = "121.5,80.25,94,352,12";
  uint64_t lines = 0, allocations = 0;
  for (auto _ : state) {
    const uint64_t a0 = gAllocations.load();
    d->HandleReply(line.data(), static_cast<int>(line.size()));
    allocations += gAllocations.load() - a0;
    if ((++lines & 1023) == 0)
      d->DiscardSamples();
  }
  state.counters["allocs_per_line"] = lines ? static_cast<double>(allocations) / lines : -1;
}
BENCHMARK(BM_SampleLineAllocations);

}  // namespace
}  // namespace vyra
