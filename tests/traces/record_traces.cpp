// Records the golden traces: each scenario runs the simulator on a pseudo-terminal and feeds
// what it sends to a device object on this one thread (TraceDevice), at the times it arrives.
// Run by hand when a scenario is added: trace_recorder OUTDIR [NAME...]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "traces/trace_device.h"
#include "vyra_sim.h"

namespace {

using namespace vyra;
using sim::CycleKind;
using sim::Fault;
using sim::Profile;

struct Scenario {
  std::string name;
  sim::Options options;
  bool branded = true;        // the plug-in found it as the branded monitor
  int streamMs = 1500;        // sampling time before the stop
  int periodAtMs = -1;        // sampling time at which the host sets a period
  int32_t period = 10000;
  bool stopInUpload = false;  // stop while a waveform upload runs
};

sim::Options Base(Profile p, bool time = false, Fault f = Fault::kNone) {
  sim::Options o;
  o.profile = p;
  o.timeColumn = time;
  o.fault = f;
  o.faultAfterLines = 40;
  o.garbageEvery = 5;
  o.cycles.firstDelay = std::chrono::milliseconds(300);
  o.cycles.interval = std::chrono::milliseconds(1300);
  return o;
}

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> s;
  {
    Scenario c{"branded", Base(Profile::kBrandedVyra)};
    c.options.cycles.plan = {CycleKind::kNormal, CycleKind::kError, CycleKind::kCutShort, CycleKind::kStartedBefore};
    c.streamMs = 5600;
    s.push_back(c);
  }
  {
    Scenario c{"branded_time", Base(Profile::kBrandedVyra, true)};
    c.streamMs = 2200;
    c.periodAtMs = 1000;
    s.push_back(c);
  }
  {
    Scenario c{"branded_stop_in_upload", Base(Profile::kBrandedVyra)};
    c.options.cycles.plan = {CycleKind::kHeld};
    c.streamMs = 4000;
    c.stopInUpload = true;
    s.push_back(c);
  }
  {
    Scenario c{"plain_refused", Base(Profile::kPlainVyra)};
    c.branded = false;
    s.push_back(c);
  }
  s.push_back(Scenario{"plain_as_branded", Base(Profile::kPlainVyra)});
  for (auto [name, p] : std::vector<std::pair<std::string, Profile>>{
           {"ventilator", Profile::kVentilator}, {"oximeter", Profile::kOximeter}, {"capnograph", Profile::kCapnograph}}) {
    for (bool time : {false, true}) {
      Scenario c{name + (time ? "_time" : ""), Base(p, time)};
      c.branded = false;
      s.push_back(c);
    }
  }
  for (auto [name, f] : std::vector<std::pair<std::string, Fault>>{{"silent", Fault::kSilent},
                                                                   {"wrong_level", Fault::kWrongFirmwareLevel},
                                                                   {"short_version", Fault::kShortVersion},
                                                                   {"garbage", Fault::kGarbage},
                                                                   {"stall", Fault::kStall},
                                                                   {"hangup", Fault::kHangUp}}) {
    Scenario c{"fault_" + name, Base(Profile::kBrandedVyra, false, f)};
    c.streamMs = 2000;
    s.push_back(c);
  }
  return s;
}

int64_t Ms(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

bool Record(const Scenario& sc, const std::string& dir) {
  sim::Monitor monitor(sc.options);
  monitor.Start();
  const int fd = ::open(monitor.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);

  std::vector<trace::Event> log;
  const std::string identifier =
      sc.branded ? "FTDIBUS\\VID_0403+PID_6001+BVLVYRA0042A\\0000" : "USB\\VID_1A86&PID_7523\\5";
  trace::TraceDevice device(std::u16string(identifier.begin(), identifier.end()),
                            [fd](std::string_view frame) { (void)!::write(fd, frame.data(), frame.size()); });
  size_t seen = 0;
  auto flush = [&] {
    const auto& out = device.Outcomes();
    for (; seen < out.size(); ++seen) log.push_back(out[seen]);
  };
  const auto t0 = std::chrono::steady_clock::now();
  auto host = [&](const std::string& action) {
    const int64_t ms = Ms(t0);
    log.push_back({ms, '!', action});
    device.Host(ms, action);
    flush();
  };

  host("init " + trace::Escape(identifier));
  int64_t startedAt = -1, stoppedAt = -1, lastInput = 0;
  bool periodSet = false, hungUp = false;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2) > 0) {
      char buf[4096];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        const int64_t ms = lastInput = Ms(t0);
        log.push_back({ms, '<', trace::Escape(std::string_view(buf, static_cast<size_t>(n)))});
        device.Input(ms, std::string_view(buf, static_cast<size_t>(n)));
        flush();
      } else {
        hungUp = true;
      }
    }
    const int64_t now = Ms(t0);
    const int32_t state = device.State();
    if (hungUp) break;
    if (startedAt < 0) {
      if (state == kReady) {
        host("start");
        startedAt = Ms(t0);
      } else if (now > 1500) {
        break;  // the handshake never completes
      }
      continue;
    }
    if (stoppedAt < 0) {
      const int64_t sampling = now - startedAt;
      if (sc.periodAtMs >= 0 && !periodSet && sampling >= sc.periodAtMs) {
        periodSet = true;
        host("period " + std::to_string(sc.period));
      }
      const bool stopNow = sc.stopInUpload ? monitor.GetStats().uploadActive && monitor.GetStats().waveformLines >= 3
                                           : sampling >= sc.streamMs;
      if (stopNow || sampling >= sc.streamMs + 3000 || (now - lastInput > 800 && sampling > 300)) {
        host("stop");
        stoppedAt = Ms(t0);
      }
      continue;
    }
    if (state == kReady || now - stoppedAt > 1000) break;
  }
  host("close");
  ::usleep(50000);
  ::close(fd);
  monitor.Stop();

  std::ofstream out(dir + "/" + sc.name + ".trace");
  out << "// " << sc.name << ": recorded against vyra-sim; regenerate with trace_recorder\n";
  for (const auto& e : log) out << e.Line() << "\n";
  return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: trace_recorder OUTDIR [NAME...]\n";
    return 2;
  }
  std::vector<std::string> only(argv + 2, argv + argc);
  int failed = 0;
  for (const auto& sc : Scenarios()) {
    if (!only.empty() && std::find(only.begin(), only.end(), sc.name) == only.end()) continue;
    const bool ok = Record(sc, argv[1]);
    std::cerr << sc.name << (ok ? ": recorded" : ": FAILED") << "\n";
    failed += !ok;
  }
  return failed ? 1 : 0;
}
