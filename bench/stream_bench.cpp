// End to end through the exports: the built module loaded by path, simulated monitors on
// pseudo-terminals served by a separate process (so this process's CPU time is the plug-in's
// reader threads and the host threads only), discovery through a laid-out sysfs tree.
//
// Figures (Google Benchmark counters, one iteration each):
//   Stream/paced     one device, 50 lines/s at 11,520 bytes/s: delivery, loss, CPU, latency
//                    from the simulator's write of a line to the ReadLine that returns it
//   Stream/unpaced   one device, lines as fast as the simulator can write them
//   Stream/python    the same paced stream read by a plain pyserial loop (/usr/bin/python3)
//   Stream/scale8    eight devices at once, each read by its own host thread
//   Stream/live8     the same eight, each host thread feeding the live view: no client, or 4
//                    event clients reading (their own CPU left out) and one that never reads
//   Stream/floor     bare poll/read loops on the same paced stream (1 and 2 threads)
//   Stream/share     the paced plug-in and the hand-off floor in alternating windows
//   Tool/devices     vyra-host stream --devices all, as a user runs it, for 1 and 8 monitors:
//                    the whole process's CPU per device and the samples lost on its stdout
//   Ready/one        FindDevice, Initialise, code 11, code 37 and the first data line, timed
//   Ready/eight      eight monitors found and initialised one after another
// Loss is checked on the simulator's counter channel: every value delivered is the previous
// one plus one, and the count delivered reaches the count the simulator reports sent.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "live_server.h"
#include "module.h"
#include "platform/serial_port.h"
#include "stream_data.h"
#include "support/live_client.h"
#include "vyra_sim.h"

extern char** environ;

namespace {

constexpr int kMaxDevices = 8;
constexpr int kSlots = 4096;  // sent-time slots per device, by counter value
constexpr vyra::sim::Profile kProfile = vyra::sim::Profile::kVentilator;
constexpr const char* kPacedRates = "0.005,0.01,0.02,0.05,0.1,EndOfCycle";
constexpr const char* kUnpacedRates = "0.00002,0.02";

struct SharedTimes {
  std::atomic<int64_t> sentNs[kMaxDevices][kSlots];
};

int64_t MonoNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}
double CpuMs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}
// CPU milliseconds spent over a window, as a percentage of one core.
double PctOfCore(double cpuMs, double seconds) { return 100.0 * cpuMs / (seconds * 1000.0); }

// --- the simulator process --------------------------------------------------------------
// argv: --sim <devices> <bytesPerSecond> <rates> <initialRate> <memfd>
// Prints one slave path per line, then answers "stats" with one "sent <lines>" line per
// device, and ends on "quit" or end of input.
int SimChild(int argc, char** argv) {
  if (argc < 7) return 2;
  const int n = std::atoi(argv[2]);
  auto* shared = static_cast<SharedTimes*>(
      mmap(nullptr, sizeof(SharedTimes), PROT_READ | PROT_WRITE, MAP_SHARED, std::atoi(argv[6]), 0));
  if (shared == MAP_FAILED) return 3;
  std::vector<std::unique_ptr<vyra::sim::Monitor>> monitors;
  for (int i = 0; i < n; ++i) {
    vyra::sim::Options o;
    o.profile = kProfile;
    o.bytesPerSecond = std::atoi(argv[3]);
    o.uploadRates = argv[4];
    o.initialRate = std::atoi(argv[5]);
    o.onSampleSent = [shared, i](std::int64_t counter) {
      shared->sentNs[i][counter % kSlots].store(MonoNs(), std::memory_order_relaxed);
    };
    monitors.push_back(std::make_unique<vyra::sim::Monitor>(o));
    monitors.back()->Start();
    std::printf("%s\n", monitors.back()->SlavePath().c_str());
  }
  std::fflush(stdout);
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    if (std::strncmp(line, "stats", 5) == 0) {
      for (auto& m : monitors) std::printf("sent %llu\n", static_cast<unsigned long long>(m->GetStats().sampleLines));
      std::fflush(stdout);
    } else {
      break;
    }
  }
  for (auto& m : monitors) m->Stop();
  return 0;
}

class SimProcess {
 public:
  SimProcess(int devices, int bytesPerSecond, const char* rates, int initialRate) {
    memfd_ = memfd_create("vyra-bench-times", 0);
    if (memfd_ < 0 || ftruncate(memfd_, sizeof(SharedTimes)) != 0) return;
    times = static_cast<SharedTimes*>(mmap(nullptr, sizeof(SharedTimes), PROT_READ | PROT_WRITE, MAP_SHARED, memfd_, 0));
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string d = std::to_string(devices), b = std::to_string(bytesPerSecond), r = std::to_string(initialRate),
                      m = std::to_string(memfd_);
    char exe[] = "/proc/self/exe", flag[] = "--sim";
    char* args[] = {exe, flag, const_cast<char*>(d.c_str()), const_cast<char*>(b.c_str()), const_cast<char*>(rates),
                    const_cast<char*>(r.c_str()), const_cast<char*>(m.c_str()), nullptr};
    if (posix_spawn(&pid_, "/proc/self/exe", &fa, nullptr, args, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    toChild_ = fdopen(in[1], "w");
    fromChild_ = fdopen(out[0], "r");
    char line[256];
    for (int i = 0; i < devices && std::fgets(line, sizeof line, fromChild_); ++i) {
      line[std::strcspn(line, "\n")] = 0;
      slaves.push_back(line);
    }
  }
  ~SimProcess() {
    if (toChild_) {
      std::fputs("quit\n", toChild_);
      std::fclose(toChild_);
    }
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    if (fromChild_) std::fclose(fromChild_);
    if (times && times != MAP_FAILED) munmap(times, sizeof(SharedTimes));
    if (memfd_ >= 0) close(memfd_);
  }
  std::vector<uint64_t> Sent() {
    std::vector<uint64_t> sent;
    std::fputs("stats\n", toChild_);
    std::fflush(toChild_);
    char line[128];
    for (size_t i = 0; i < slaves.size() && std::fgets(line, sizeof line, fromChild_); ++i)
      sent.push_back(std::strtoull(line + 5, nullptr, 10));
    return sent;
  }
  double CpuMs() const {  // the simulator's whole process, from /proc (10 ms ticks)
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid_));
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    if (p) std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return (utime + stime) * 1000.0 / sysconf(_SC_CLK_TCK);
  }
  pid_t Pid() const { return pid_; }

  std::vector<std::string> slaves;
  SharedTimes* times = nullptr;

 private:
  int memfd_ = -1;
  pid_t pid_ = -1;
  FILE* toChild_ = nullptr;
  FILE* fromChild_ = nullptr;
};

// --- the module, as a host loads it (vyra-host's loader) ----------------------------------
const vyra::host::Exports* LoadedModule() {
  static vyra::host::Module module;
  static const bool loaded = [] {
    std::string error;
    return module.Load(VYRA_MODULE_PATH, error);
  }();
  return loaded ? &module.x() : nullptr;
}

// A discovery tree with one port per simulated monitor, for the module to find; returns its
// root, to be removed afterwards.
std::string LayOutTree(const SimProcess& sim) {
  const std::string root = "/tmp/vyra-bench-tree-" + std::to_string(getpid());
  std::filesystem::remove_all(root);
  std::vector<vyra::sim::TreePort> ports;
  for (size_t i = 0; i < sim.slaves.size(); ++i) {
    vyra::sim::TreePort p;
    p.tty = "ttyUSB" + std::to_string(i);
    p.target = sim.slaves[i];
    p.serial = "Z80000" + std::to_string(40 + i);
    ports.push_back(p);
  }
  const vyra::sim::TreePaths paths = vyra::sim::LayOutDiscoveryTree(root, ports);
  setenv("VYRA_SYSFS_ROOT", paths.sysfsRoot.c_str(), 1);
  setenv("VYRA_DEV_ROOT", paths.devRoot.c_str(), 1);
  return root;
}

// What one host thread saw on one device's counter channel.
struct DeviceTally {
  uint64_t values = 0;         // every channel
  uint64_t counterValues = 0;  // counter channel
  uint64_t lost = 0, duplicated = 0;
  long last = -1;
  std::vector<int64_t> latencyNs;
};

// Looked up once: describing the profile builds its whole channel table, and the host
// threads tally every buffer they read inside the measured CPU time.
int CounterHostChannel() {
  static const int channel = vyra::sim::DescribeProfile(kProfile, false).counterChannel + 1;
  return channel;
}
int CounterModulus() {
  static const int modulus = vyra::sim::DescribeProfile(kProfile, false).counterModulus;
  return modulus;
}

// Splits data lines, tallies the values, checks the counter channel's sequence.
void Tally(const char* text, DeviceTally& t, const std::atomic<int64_t>* sent, bool measureLatency, int64_t nowNs) {
  const int counterChannel = CounterHostChannel();
  const long modulus = CounterModulus();
  const char* p = text;
  while (*p == '+') {
    char* end;
    const long channel = std::strtol(p + 1, &end, 10);
    p = end;
    while (*p == ',') {
      const long v = std::strtol(p + 1, &end, 10);
      p = end;
      ++t.values;
      if (channel != counterChannel) continue;
      ++t.counterValues;
      if (t.last >= 0) {
        const long gap = ((v - t.last) % modulus + modulus) % modulus;
        if (gap == 0) ++t.duplicated;
        else t.lost += static_cast<uint64_t>(gap - 1);
      }
      t.last = v;
      if (measureLatency && sent) {
        const int64_t s = sent[v % kSlots].load(std::memory_order_relaxed);
        if (s > 0 && nowNs >= s) t.latencyNs.push_back(nowNs - s);
      }
    }
    if (*p == '\n') ++p;
  }
}

struct RunResult {
  bool ok = false;
  std::string error;
  double seconds = 0, cpuMs = 0, simCpuMs = 0, hostCpuMs = 0;
  double idleCpuPct = -1;  // initialised devices, sampling not started
  std::vector<DeviceTally> tally;
  std::vector<uint64_t> sent;
  // With the live view: its clients' bytes, resident memory growth over the window, drops.
  bool live = false;
  double clientBytes = 0, rssGrowthKb = 0;
  size_t dropped = 0;
};

long VmRssKb() {
  FILE* f = std::fopen("/proc/self/status", "r");
  long kb = -1;
  char line[256];
  while (f && std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmRSS: %ld", &kb) == 1) break;
  }
  if (f) std::fclose(f);
  return kb;
}

// Event clients of the live view on threads of their own, reading and dropping what comes,
// and with them one that connects and never reads.
struct LiveClients {
  LiveClients(int port, int readers) {
    if (readers > 0) {
      stuck = vyra::test::Connect(port, 4096);
      vyra::test::SendAll(stuck, "GET /api/events HTTP/1.1\r\n\r\n");
    }
    for (int i = 0; i < readers; ++i) {
      const int fd = vyra::test::Connect(port);
      vyra::test::SendAll(fd, "GET /api/events HTTP/1.1\r\n\r\n");
      threads.emplace_back([this, fd] {
        char buf[65536];
        for (;;) {
          ssize_t n = recv(fd, buf, sizeof buf, 0);
          if (n <= 0) break;
          bytes += static_cast<double>(n);
        }
        close(fd);
      });
    }
  }
  double CpuMsNow() {  // the readers' own, left out of the figures
    double ms = 0;
    for (auto& t : threads) {
      clockid_t c;
      if (pthread_getcpuclockid(t.native_handle(), &c) == 0) ms += CpuMs(c);
    }
    return ms;
  }
  ~LiveClients() {  // after the server has stopped, so every stream has ended
    for (auto& t : threads) t.join();
    if (stuck >= 0) close(stuck);
  }
  int stuck = -1;
  std::vector<std::thread> threads;
  std::atomic<double> bytes{0};
};

// Finds, initialises and starts `devices` monitors, reads them for `seconds` (one host
// thread each), then reads on until every line the simulator reported sent has arrived.
RunResult Run(int devices, int bytesPerSecond, const char* rates, int initialRate, double seconds, bool latency,
              double idleSeconds = 0, int liveClients = -1) {
  RunResult r;
  const vyra::host::Exports* loaded = LoadedModule();
  if (!loaded) {
    r.error = "module not loaded";
    return r;
  }
  const vyra::host::Exports& m = *loaded;
  SimProcess sim(devices, bytesPerSecond, rates, initialRate);
  if (static_cast<int>(sim.slaves.size()) != devices) {
    r.error = "simulator did not start";
    return r;
  }
  const std::string root = LayOutTree(sim);

  std::vector<int> index(devices, -1);
  for (int i = 0; i < devices; ++i)
    if (!m.FindDevice(&index[i], "Z800")) {
      r.error = "FindDevice found " + std::to_string(i) + " devices";
      m.CloseAll();
      return r;
    }
  std::vector<std::thread> starters;
  std::atomic<int> started{0};
  for (int i = 0; i < devices; ++i)
    starters.emplace_back([&, i] {
      vyra::host::CommandRecord rec;
      if (m.Initialise(index[i]) && m.DeviceCommand(index[i], 11, &rec)) ++started;  // 11 waits for the channels
    });
  for (auto& t : starters) t.join();
  if (started == devices && idleSeconds > 0) {
    // What initialised devices cost while nothing streams: the reader threads' own wake-ups.
    const double c0 = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    r.idleCpuPct = PctOfCore(CpuMs(CLOCK_PROCESS_CPUTIME_ID) - c0, idleSeconds);
  }
  for (int i = 0; i < devices; ++i) {
    vyra::host::CommandRecord rec;
    if (started == devices && !m.DeviceCommand(index[i], 37, &rec)) --started;
  }
  if (started != devices) {
    r.error = "only " + std::to_string(started.load()) + " devices started sampling";
    m.CloseAll();
    return r;
  }

  // The live view as vyra-host feeds it: engineering values, each channel's own sample count.
  std::unique_ptr<vyra::host::LiveServer> live;
  std::unique_ptr<LiveClients> clients;
  const auto profile = vyra::sim::DescribeProfile(kProfile, false);
  if (liveClients >= 0) {
    live = std::make_unique<vyra::host::LiveServer>();
    std::string error;
    if (!live->Start("127.0.0.1", 0, error)) {
      r.error = "live view: " + error;
      m.CloseAll();
      return r;
    }
    for (int i = 0; i < devices; ++i) {
      vyra::host::LiveDevice d{"sim-" + std::to_string(i), profile.model, "", {}};
      for (size_t k = 0; k < profile.channels.size(); ++k) d.channels.push_back({int(k) + 1, profile.channels[k].name, "", 0, 1000, 20000, 0});
      live->AddDevice(d);
    }
    clients = std::make_unique<LiveClients>(live->Port(), liveClients);
    const size_t all = liveClients > 0 ? size_t(liveClients) + 1 : 0;
    live->WaitForCounts([&](const vyra::host::LiveServer::Counts& c) { return c.clients == all; },
                        std::chrono::seconds(10));
  }

  r.tally.resize(devices);
  std::atomic<bool> measuring{false}, stop{false};
  std::vector<double> hostCpu(devices, 0.0);
  auto host = [&](int i) {
    std::vector<char> buffer(4096);
    bool was = false;
    double c0 = 0;
    std::vector<vyra::host::DataLine> lines;
    std::vector<double> values;
    std::vector<uint64_t> count(profile.channels.size() + 1, 0);
    uint64_t bad = 0;
    const std::string serial = "sim-" + std::to_string(i);
    while (!stop.load(std::memory_order_relaxed)) {
      const bool now = measuring.load(std::memory_order_relaxed);
      if (now != was) {
        if (now) c0 = CpuMs(CLOCK_THREAD_CPUTIME_ID);
        else hostCpu[i] = CpuMs(CLOCK_THREAD_CPUTIME_ID) - c0;
        was = now;
      }
      if (!m.ReadLine(index[i], buffer.data(), static_cast<int>(buffer.size()), 100)) continue;
      // The clock only when its reading is used: the plug-in's ReadLine reads none for data.
      const bool timed = latency && now;
      Tally(buffer.data(), r.tally[i], sim.times->sentNs[i], timed, timed ? MonoNs() : 0);
      if (!live) continue;
      lines.clear();
      vyra::host::ParseDataBuffer(buffer.data(), lines, bad);
      for (const auto& d : lines) {
        if (d.channel < 1 || d.channel >= static_cast<int>(count.size())) continue;
        values.assign(d.values.begin(), d.values.end());
        live->Samples(serial, d.channel, static_cast<double>(count[d.channel]) * 0.02, 0.02, values);
        count[d.channel] += d.values.size();
      }
    }
    if (was) hostCpu[i] = CpuMs(CLOCK_THREAD_CPUTIME_ID) - c0;  // stopped before it saw the window end
  };
  std::vector<std::thread> hosts;
  for (int i = 0; i < devices; ++i) hosts.emplace_back(host, i);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle

  // The bench's own reads of /proc (about 0.1 ms) stay outside the process's CPU window: they
  // are neither the plug-in's nor the host's, and the floor's windows make none.
  const double simCpu0 = sim.CpuMs();
  const long rss0 = VmRssKb();
  const double cpu0 = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<uint64_t> values0;
  for (auto& t : r.tally) values0.push_back(t.values);
  const double clientBytes0 = clients ? clients->bytes.load() : 0, clientCpu0 = clients ? clients->CpuMsNow() : 0;
  measuring = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  measuring = false;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.cpuMs = CpuMs(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  if (clients) {
    r.clientBytes = clients->bytes.load() - clientBytes0;
    r.cpuMs -= clients->CpuMsNow() - clientCpu0;
  }
  std::vector<uint64_t> values1;
  for (auto& t : r.tally) values1.push_back(t.values);
  r.rssGrowthKb = static_cast<double>(VmRssKb() - rss0);
  r.live = live != nullptr;
  r.simCpuMs = sim.CpuMs() - simCpu0;

  // Every line sent so far must arrive.
  r.sent = sim.Sent();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (;;) {
    bool all = true;
    for (int i = 0; i < devices; ++i) all = all && r.tally[i].counterValues >= r.sent[i];
    if (all || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop = true;
  for (auto& t : hosts) t.join();
  if (live) {
    r.dropped = live->GetCounts().dropped;
    live->Stop();
    clients.reset();
  }
  for (double c : hostCpu) r.hostCpuMs += c;
  for (int i = 0; i < devices; ++i) {
    r.tally[i].values = values1[i] - values0[i];  // values in the window
    if (m.IsFailed(index[i])) r.error = "device " + std::to_string(i) + " failed";
  }
  m.CloseAll();
  std::filesystem::remove_all(root);
  r.ok = r.error.empty();
  return r;
}

void Report(benchmark::State& state, const RunResult& r) {
  if (!r.ok) {
    state.SkipWithError(r.error.c_str());
    return;
  }
  const int n = static_cast<int>(r.tally.size());
  uint64_t values = 0, lost = 0, dup = 0, missing = 0;
  std::vector<int64_t> lat;
  for (int i = 0; i < n; ++i) {
    const DeviceTally& t = r.tally[i];
    values += t.values;
    lost += t.lost;
    dup += t.duplicated;
    if (t.counterValues < r.sent[i]) missing += r.sent[i] - t.counterValues;
    lat.insert(lat.end(), t.latencyNs.begin(), t.latencyNs.end());
  }
  const double cpuPct = PctOfCore(r.cpuMs, r.seconds);
  state.counters["devices"] = n;
  state.counters["samples_per_s"] = values / r.seconds;
  state.counters["lines_per_s"] = values / r.seconds / vyra::sim::DescribeProfile(kProfile, false).channels.size();
  state.counters["lost"] = static_cast<double>(lost + missing);
  state.counters["duplicated"] = static_cast<double>(dup);
  state.counters["cpu_pct_of_core"] = cpuPct;
  state.counters["cpu_pct_per_device"] = cpuPct / n;
  const double hostPct = PctOfCore(r.hostCpuMs, r.seconds);
  state.counters["host_threads_cpu_pct"] = hostPct;
  state.counters["reader_cpu_pct"] = cpuPct - hostPct;
  if (r.idleCpuPct >= 0) state.counters["idle_cpu_pct"] = r.idleCpuPct;
  state.counters["sim_cpu_pct"] = PctOfCore(r.simCpuMs, r.seconds);
  if (r.live) {
    state.counters["client_kbytes_per_s"] = r.clientBytes / 1024 / r.seconds;
    state.counters["rss_growth_kb"] = r.rssGrowthKb;
    state.counters["dropped"] = static_cast<double>(r.dropped);
  }
  if (!lat.empty()) {
    std::sort(lat.begin(), lat.end());
    auto at = [&](double q) { return lat[std::min(lat.size() - 1, static_cast<size_t>(q * lat.size()))] / 1e3; };
    state.counters["latency_p50_us"] = at(0.50);
    state.counters["latency_p99_us"] = at(0.99);
    state.counters["latency_max_us"] = lat.back() / 1e3;
    state.counters["latency_samples"] = static_cast<double>(lat.size());
  }
}

double Seconds() {
  const char* s = std::getenv("VYRA_BENCH_SECONDS");
  return s ? std::atof(s) : 10.0;
}

void BM_StreamPaced(benchmark::State& state) {
  for (auto _ : state) Report(state, Run(1, 11520, kPacedRates, 2, Seconds(), true, 2.0));
}
BENCHMARK(BM_StreamPaced)->Name("Stream/paced")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StreamUnpaced(benchmark::State& state) {
  for (auto _ : state) Report(state, Run(1, 0, kUnpacedRates, 0, Seconds() / 2, false));
}
BENCHMARK(BM_StreamUnpaced)->Name("Stream/unpaced")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StreamScale(benchmark::State& state) {
  for (auto _ : state) Report(state, Run(kMaxDevices, 11520, kPacedRates, 2, Seconds(), true));
}
BENCHMARK(BM_StreamScale)->Name("Stream/scale8")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StreamLive(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  for (auto _ : state) Report(state, Run(kMaxDevices, 11520, kPacedRates, 2, Seconds(), false, 0, clients));
}
BENCHMARK(BM_StreamLive)->Name("Stream/live8")->Arg(0)->Arg(4)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- the whole tool: vyra-host stream --devices all -------------------------------------
#ifdef VYRA_HOST_PATH
void BM_ToolDevices(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  const int clients = static_cast<int>(state.range(1));  // of --serve; > 0 adds one that never reads
  for (auto _ : state) {
    SimProcess sim(devices, 11520, kPacedRates, 2);
    if (static_cast<int>(sim.slaves.size()) != devices) {
      state.SkipWithError("simulator did not start");
      return;
    }
    const std::string root = LayOutTree(sim);
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
      state.SkipWithError("pipe");
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    const std::string seconds = std::to_string(Seconds());
    std::vector<std::string> args = {VYRA_HOST_PATH, "--module", VYRA_MODULE_PATH, "--ids", "Z800", "stream",
                                     "--devices", "all", "--seconds", seconds, "--no-progress"};
    if (clients > 0) args.insert(args.end(), {"--serve", "0"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = posix_spawn(&pid, VYRA_HOST_PATH, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    // Standard error read on, so the tool never blocks on it; the live view's port from it.
    std::unique_ptr<LiveClients> live;
    FILE* errIn = fdopen(err[0], "r");
    char said[512];
    while (rc == 0 && clients > 0 && std::fgets(said, sizeof said, errIn)) {
      const char* at = std::strstr(said, "live view at http://127.0.0.1:");
      if (!at) continue;
      live = std::make_unique<LiveClients>(std::atoi(at + std::strlen("live view at http://127.0.0.1:")), clients);
      break;
    }
    std::thread errDrain([errIn] {
      char b[512];
      while (std::fgets(b, sizeof b, errIn)) {
      }
    });
    // "<serial> +<channel>,v,...": each serial's counter channel checked as Run checks it.
    std::vector<std::string> serials;
    std::vector<DeviceTally> tally;
    FILE* in = fdopen(out[0], "r");
    char line[8192];
    while (rc == 0 && std::fgets(line, sizeof line, in)) {
      char* space = std::strchr(line, ' ');
      if (!space) continue;
      const std::string serial(line, space);
      size_t k = std::find(serials.begin(), serials.end(), serial) - serials.begin();
      if (k == serials.size()) {
        serials.push_back(serial);
        tally.emplace_back();
      }
      Tally(space + 1, tally[k], nullptr, false, 0);
    }
    std::fclose(in);
    int status = 0;
    rusage ru{};
    if (rc == 0) wait4(pid, &status, 0, &ru);
    errDrain.join();
    std::fclose(errIn);
    const double clientBytes = live ? live->bytes.load() : 0;
    live.reset();  // the tool has ended: every stream is closed
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::filesystem::remove_all(root);
    if (rc != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || static_cast<int>(tally.size()) != devices) {
      state.SkipWithError("vyra-host did not stream every device");
      return;
    }
    const double cpuMs = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    uint64_t values = 0, lost = 0, dup = 0;
    for (const auto& t : tally) {
      values += t.values;
      lost += t.lost;
      dup += t.duplicated;
    }
    const double cpuPct = PctOfCore(cpuMs, wall);
    state.counters["devices"] = devices;
    state.counters["samples_per_s"] = values / wall;
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["duplicated"] = static_cast<double>(dup);
    state.counters["cpu_pct_of_core"] = cpuPct;  // start-up and close included
    state.counters["cpu_pct_per_device"] = cpuPct / devices;
    state.counters["client_kbytes_per_s"] = clientBytes / 1024 / wall;
  }
}
BENCHMARK(BM_ToolDevices)
    ->Name("Tool/devices")
    ->Args({1, 0})
    ->Args({8, 0})
    ->Args({8, 4})
    ->ArgNames({"", "clients"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

// --- ready: from FindDevice to the first data line, the simulator answering at once -------
// "Stepped" figures are what the same device answers cost under fixed-step waits: Initialise
// first looking at the state after 1000 ms and then every 1000 ms, the description wait
// looking first and then every 1000 ms, codes 37/38 looking after each 20 ms step. They are
// computed from this run's times, taken as the moments the device answered. ReadLine already
// waited on the reader's notification: under stepped waits it starts later, when code 37
// returns, so less of the first line's wait is left.

double Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}
// A wait that looks only after each whole step.
double StepAfter(double answeredMs, double stepMs) {
  return stepMs * std::max(1.0, std::ceil(answeredMs / stepMs));
}

struct ReadyRun {
  std::string error;
  double find = 0, init = 0, channels = 0, start = 0, firstLine = 0, channelsAnswer = 0;
};

ReadyRun TimeOneDevice(const vyra::host::Exports& m) {
  ReadyRun r;
  SimProcess sim(1, 0, kPacedRates, 2);
  if (sim.slaves.size() != 1) {
    r.error = "simulator did not start";
    return r;
  }
  const std::string root = LayOutTree(sim);
  using Clock = std::chrono::steady_clock;
  vyra::host::CommandRecord rec;
  std::vector<char> buffer(4096);
  int index = -1;
  const auto t0 = Clock::now();
  const bool found = m.FindDevice(&index, "Z800");
  const auto t1 = Clock::now();
  const bool initialised = found && m.Initialise(index);
  const auto t2 = Clock::now();
  const bool described = initialised && m.DeviceCommand(index, 11, &rec);
  const auto t3 = Clock::now();
  const bool started = described && m.DeviceCommand(index, 37, &rec);
  const auto t4 = Clock::now();
  const bool line = started && m.ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 5000);
  const auto t5 = Clock::now();
  m.DeviceCommand(index, 11, &rec);  // the command's own cost, with nothing to wait for
  const auto t6 = Clock::now();
  if (!line) r.error = !found ? "FindDevice" : !initialised ? "Initialise" : !described ? "code 11" : !started ? "code 37" : "ReadLine";
  r.find = Ms(t0, t1);
  r.init = Ms(t1, t2);
  r.channels = Ms(t2, t3);
  r.start = Ms(t3, t4);
  r.firstLine = Ms(t4, t5);
  r.channelsAnswer = Ms(t5, t6);
  m.CloseAll();
  std::filesystem::remove_all(root);
  return r;
}

void BM_ReadyOne(benchmark::State& state) {
  const vyra::host::Exports* m = LoadedModule();
  if (!m) {
    state.SkipWithError("module not loaded");
    return;
  }
  for (auto _ : state) {
    // The median run of several, by total.
    std::vector<ReadyRun> runs;
    for (int i = 0; i < 5; ++i) {
      runs.push_back(TimeOneDevice(*m));
      if (!runs.back().error.empty()) {
        state.SkipWithError(("failed at " + runs.back().error).c_str());
        return;
      }
    }
    auto total = [](const ReadyRun& r) { return r.find + r.init + r.channels + r.start + r.firstLine; };
    std::sort(runs.begin(), runs.end(), [&](const ReadyRun& a, const ReadyRun& b) { return total(a) < total(b); });
    const ReadyRun& r = runs[runs.size() / 2];
    // Stepped: Initialise returns at a 1000 ms step; the channel list, ready `init + channels`
    // after Initialise began, is then either there (the command's own cost) or waited for in
    // 1000 ms steps; code 37 in 20 ms steps.
    const double initStepped = StepAfter(r.init, 1000);
    const double listLate = r.init + r.channels - initStepped;
    const double channelsStepped = r.channelsAnswer + (listLate > 0 ? 1000 * std::ceil(listLate / 1000) : 0);
    const double startStepped = StepAfter(r.start, 20);
    const double firstLineStepped = std::max(0.0, r.start + r.firstLine - startStepped);
    state.counters["find_ms"] = r.find;
    state.counters["init_ms"] = r.init;
    state.counters["channels_ms"] = r.channels;
    state.counters["start_ms"] = r.start;
    state.counters["first_line_ms"] = r.firstLine;
    state.counters["total_ms"] = total(r);
    state.counters["init_stepped_ms"] = initStepped;
    state.counters["channels_stepped_ms"] = channelsStepped;
    state.counters["start_stepped_ms"] = startStepped;
    state.counters["first_line_stepped_ms"] = firstLineStepped;
    state.counters["total_stepped_ms"] = r.find + initStepped + channelsStepped + startStepped + firstLineStepped;
  }
}
BENCHMARK(BM_ReadyOne)->Name("Ready/one")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Eight monitors found and initialised one after another, as a host opening them in turn.
void BM_ReadyEight(benchmark::State& state) {
  const vyra::host::Exports* m = LoadedModule();
  if (!m) {
    state.SkipWithError("module not loaded");
    return;
  }
  for (auto _ : state) {
    SimProcess sim(kMaxDevices, 0, kPacedRates, 2);
    if (static_cast<int>(sim.slaves.size()) != kMaxDevices) {
      state.SkipWithError("simulator did not start");
      return;
    }
    const std::string root = LayOutTree(sim);
    using Clock = std::chrono::steady_clock;
    double total = 0, stepped = 0;
    bool ok = true;
    for (int i = 0; i < kMaxDevices && ok; ++i) {
      int index = -1;
      const auto t0 = Clock::now();
      ok = m->FindDevice(&index, "Z800");
      const auto t1 = Clock::now();
      ok = ok && m->Initialise(index);
      const auto t2 = Clock::now();
      total += Ms(t0, t2);
      stepped += Ms(t0, t1) + StepAfter(Ms(t1, t2), 1000);
    }
    m->CloseAll();
    std::filesystem::remove_all(root);
    if (!ok) {
      state.SkipWithError("a monitor was not found or not initialised");
      return;
    }
    state.counters["total_ms"] = total;
    state.counters["total_stepped_ms"] = stepped;
  }
}
BENCHMARK(BM_ReadyEight)->Name("Ready/eight")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same paced stream through a plain pyserial loop: readline, split, float.
const char* kPythonLoop = R"(
import sys, time, serial
port = serial.Serial(sys.argv[1], 115200, timeout=0.1)
port.write(b":B\n")
end = time.monotonic() + 0.5
while time.monotonic() < end:
    port.readline()
seconds = float(sys.argv[2])
c0 = time.process_time(); t0 = time.monotonic(); n = 0
while time.monotonic() - t0 < seconds:
    line = port.readline()
    for f in line.split(b","):
        try:
            float(f); n += 1
        except ValueError:
            pass
print(n, time.process_time() - c0, time.monotonic() - t0)
)";

void BM_StreamPython(benchmark::State& state) {
  for (auto _ : state) {
    if (access("/usr/bin/python3", X_OK) != 0) {
      state.SkipWithError("/usr/bin/python3 missing");
      return;
    }
    SimProcess sim(1, 11520, kPacedRates, 2);
    if (sim.slaves.empty()) {
      state.SkipWithError("simulator did not start");
      return;
    }
    const std::string script = "/tmp/vyra-bench-py-" + std::to_string(getpid()) + ".py";
    if (FILE* f = std::fopen(script.c_str(), "w")) {
      std::fputs(kPythonLoop, f);
      std::fclose(f);
    }
    const std::string cmd = "/usr/bin/python3 " + script + " " + sim.slaves[0] + " " + std::to_string(Seconds());
    FILE* p = popen(cmd.c_str(), "r");
    double values = 0, cpu = 0, secs = 0;
    if (!p || std::fscanf(p, "%lf %lf %lf", &values, &cpu, &secs) != 3 || secs <= 0) {
      if (p) pclose(p);
      std::remove(script.c_str());
      state.SkipWithError("python loop failed (python3-serial installed?)");
      return;
    }
    pclose(p);
    std::remove(script.c_str());
    state.counters["samples_per_s"] = values / secs;
    state.counters["cpu_pct_of_core"] = 100.0 * cpu / secs;
  }
}
BENCHMARK(BM_StreamPython)->Name("Stream/python")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// What any reader on this machine pays for the same paced stream, as a floor under the
// figures above: a bare poll/read loop in C++ (threads = 1), and the same loop handing each
// line to a second thread through a condition variable, as a reader thread hands data to a
// host thread waiting in ReadLine (threads = 2). No parsing, no rings. The reader runs at the
// priority the plug-in's reader takes, where it may, so that both are scheduled alike.
struct FloorResult {
  std::string error;
  double linesPerS = 0, cpuPct = 0, waiterCpuPct = 0;  // waiterCpuPct: the hand-off's second thread
};

FloorResult MeasureFloor(bool handoff, double seconds) {
  FloorResult result;
  {
    SimProcess sim(1, 11520, kPacedRates, 2);
    if (sim.slaves.empty()) {
      result.error = "simulator did not start";
      return result;
    }
    const int fd = open(sim.slaves[0].c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
      result.error = "cannot open the simulator's terminal";
      return result;
    }
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    if (write(fd, ":B\n", 3) != 3) {
      result.error = "cannot start the simulator";
      close(fd);
      return result;
    }
    const int stopFd = eventfd(0, EFD_CLOEXEC);
    std::mutex mu;
    std::condition_variable cv;
    std::atomic<uint64_t> lines{0};
    std::atomic<bool> stop{false};
    std::thread waiter;
    if (handoff)
      waiter = std::thread([&] {
        uint64_t seen = 0;
        std::unique_lock lock(mu);
        while (!stop.load()) {
          cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return stop.load() || lines.load() != seen; });
          seen = lines.load();
        }
      });
    std::thread reader([&] {
      vyra::plat::RaiseCurrentThreadPriority();
      char buffer[8192];
      for (;;) {
        pollfd p[2] = {{stopFd, POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(p, 2, 500) < 0 || (p[0].revents & POLLIN)) return;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) continue;
        const uint64_t lf = static_cast<uint64_t>(std::count(buffer, buffer + n, '\n'));
        if (lf == 0) continue;
        lines += lf;
        if (handoff) {
          { std::lock_guard lock(mu); }
          cv.notify_all();
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle
    const uint64_t l0 = lines;
    clockid_t waiterClock{};
    const bool timeWaiter = handoff && pthread_getcpuclockid(waiter.native_handle(), &waiterClock) == 0;
    const double c0 = CpuMs(CLOCK_PROCESS_CPUTIME_ID), w0 = timeWaiter ? CpuMs(waiterClock) : 0;
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpuMs = CpuMs(CLOCK_PROCESS_CPUTIME_ID) - c0;
    const double waiterMs = timeWaiter ? CpuMs(waiterClock) - w0 : 0;
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const uint64_t l1 = lines;
    const uint64_t one = 1;
    stop = true;
    if (write(stopFd, &one, sizeof one) != sizeof one) std::abort();
    {
      std::lock_guard lock(mu);
    }
    cv.notify_all();
    reader.join();
    if (waiter.joinable()) waiter.join();
    close(stopFd);
    close(fd);
    result.linesPerS = (l1 - l0) / secs;
    result.cpuPct = PctOfCore(cpuMs, secs);
    result.waiterCpuPct = PctOfCore(waiterMs, secs);
  }
  return result;
}

void BM_StreamFloor(benchmark::State& state) {
  for (auto _ : state) {
    const FloorResult f = MeasureFloor(state.range(0) == 2, Seconds());
    if (!f.error.empty()) {
      state.SkipWithError(f.error.c_str());
      return;
    }
    state.counters["lines_per_s"] = f.linesPerS;
    state.counters["cpu_pct_of_core"] = f.cpuPct;
    if (state.range(0) == 2) state.counters["waiter_cpu_pct"] = f.waiterCpuPct;
  }
}
BENCHMARK(BM_StreamFloor)->Name("Stream/floor")->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The paced plug-in against the hand-off floor in alternating windows, so that load from
// elsewhere on the machine falls on both alike: the median of the window pairs' ratios.
void BM_StreamShare(benchmark::State& state) {
  constexpr int kPairs = 11;
  const double seconds = std::max(2.0, Seconds() * 0.2);
  for (auto _ : state) {
    // Per side as well: the reading thread against the floor's reader, the host thread
    // against its waiter, to show which one carries a difference.
    std::vector<double> ours, floors, ratios, readerRatios, hostRatios;
    for (int k = 0; k < kPairs; ++k) {
      const RunResult r = Run(1, 11520, kPacedRates, 2, seconds, false);
      const FloorResult f = MeasureFloor(true, seconds);
      if (!r.ok || !f.error.empty() || f.cpuPct <= 0) {
        state.SkipWithError((r.ok ? f.error : r.error).c_str());
        return;
      }
      ours.push_back(PctOfCore(r.cpuMs, r.seconds));
      floors.push_back(f.cpuPct);
      ratios.push_back(ours.back() / f.cpuPct);
      const double hostPct = PctOfCore(r.hostCpuMs, r.seconds);
      if (f.waiterCpuPct > 0 && f.cpuPct > f.waiterCpuPct) {
        readerRatios.push_back((ours.back() - hostPct) / (f.cpuPct - f.waiterCpuPct));
        hostRatios.push_back(hostPct / f.waiterCpuPct);
      }
    }
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    state.counters["cpu_pct_median"] = median(ours);
    state.counters["floor_pct_median"] = median(floors);
    state.counters["ratio_median"] = median(ratios);
    state.counters["ratio_min"] = *std::min_element(ratios.begin(), ratios.end());
    state.counters["ratio_max"] = *std::max_element(ratios.begin(), ratios.end());
    if (!readerRatios.empty()) {
      state.counters["reader_ratio_median"] = median(readerRatios);
      state.counters["host_ratio_median"] = median(hostRatios);
    }
  }
}
BENCHMARK(BM_StreamShare)->Name("Stream/share")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--sim") == 0) return SimChild(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
