// Records what the simulated monitor sends while a scripted host walks it through the
// handshake, a sampling run with cuff cycles, and the stop, for every profile and the garbage
// fault; writes seed inputs for each fuzz target under the given corpus directory.
//   fuzz_corpus_gen fuzz/corpus

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "vyra_sim.h"

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace vyra::sim;

namespace {

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] == '\n') {
      std::string l = bytes.substr(start, i - start);
      if (!l.empty() && l.back() == '\r') l.pop_back();
      out.push_back(l);
      start = i + 1;
    }
  return out;
}

void Write(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path root = argc > 1 ? argv[1] : "fuzz/corpus";
  struct Case {
    const char* name;
    Profile profile;
    bool timeColumn;
    Fault fault;
  } cases[] = {
      {"branded", Profile::kBrandedVyra, false, Fault::kNone},
      {"branded_time", Profile::kBrandedVyra, true, Fault::kNone},
      {"branded_garbage", Profile::kBrandedVyra, false, Fault::kGarbage},
      {"plain", Profile::kPlainVyra, false, Fault::kNone},
      {"ventilator", Profile::kVentilator, true, Fault::kNone},
      {"oximeter", Profile::kOximeter, false, Fault::kGarbage},
      {"capnograph", Profile::kCapnograph, true, Fault::kNone},
  };
  std::set<std::string> numbers;
  for (const Case& c : cases) {
    Options o;
    o.profile = c.profile;
    o.timeColumn = c.timeColumn;
    o.fault = c.fault;
    o.garbageEvery = 3;
    o.bytesPerSecond = 0;
    o.uploadRates = "0.005,0.01,0.02,0.05,0.1,EndOfCycle";
    o.initialRate = 0;  // 5 ms: many lines in a short run
    o.cycles.firstDelay = milliseconds(30);
    o.cycles.interval = milliseconds(150);
    o.cycles.valuesPerUpload = 40;
    o.cycles.blockValues = 10;
    o.cycles.plan = {CycleKind::kNormal, CycleKind::kError, CycleKind::kCutShort, CycleKind::kStartedBefore};
    Monitor m(o);
    m.Start();
    HostEnd host(m.SlavePath());
    const bool branded = c.profile == Profile::kBrandedVyra;
    const ProfileInfo info = DescribeProfile(c.profile, c.timeColumn);

    std::string handshake;
    for (std::string cmd : {"S", "WN5", "V", "BvL", "F"}) {
      if (!branded && (cmd == "WN5" || cmd == "BvL")) continue;
      host.Send(cmd);
      handshake += host.ReadFor(milliseconds(40));
    }
    host.Send("U" + std::string(static_cast<size_t>(info.ParameterCount()), '1'));
    handshake += host.ReadFor(milliseconds(40));
    host.Send("I");
    handshake += host.ReadFor(milliseconds(40));
    std::string start;
    if (branded) {
      host.Send("WI5");
      start += host.ReadFor(milliseconds(30));
    }
    host.Send("B");
    start += host.ReadFor(milliseconds(30));
    if (branded) host.Send("WA5");
    std::string stream = host.ReadFor(milliseconds(650));
    host.Send(branded ? "WN5" : "S");
    std::string stop = host.ReadFor(milliseconds(40));
    m.Stop();

    const std::string all = handshake + start + stream + stop;
    // receive_pass: flags (branded, time column, host requests), state, burst, requests.
    auto head = [](uint8_t flags, uint8_t stateIndex, uint8_t burst, uint8_t requests) {
      return std::string{char(flags), char(stateIndex), char(burst), char(requests)};
    };
    const uint8_t flags = (branded ? 1 : 0) | (c.timeColumn ? 2 : 0) | 4;
    Write(root / "receive_pass", std::string(c.name) + "_handshake", head(flags, 1, 3, 120) + handshake);
    Write(root / "receive_pass", std::string(c.name) + "_stream", head(flags, 18, 40, 60) + stream.substr(0, 6000));
    Write(root / "receive_pass", std::string(c.name) + "_whole", head(flags & 3, 1, 255, 230) + all.substr(0, 8000));

    std::vector<std::string> hs = Lines(handshake), st = Lines(start + stream);
    for (const std::string& l : hs) {
      if (!l.empty() && l[0] == 'V') Write(root / "identify", c.name, std::string(1, char(branded)) + l);
    }
    // The four description lines follow the "I" echo.
    for (size_t i = 0; i + 4 < hs.size(); ++i)
      if (hs[i] == "I") {
        Write(root / "build_channels", c.name,
              std::string(1, char(branded)) + hs[i + 1] + "\n" + hs[i + 2] + "\n" + hs[i + 3] + "\n" + hs[i + 4]);
        Write(root / "fields", std::string(c.name) + "_maxima", hs[i + 3]);
      }
    for (size_t i = 0; i + 2 < hs.size(); ++i)
      if (hs[i] == "F") {
        Write(root / "fields", std::string(c.name) + "_params", hs[i + 1]);
        Write(root / "fields", std::string(c.name) + "_rates", hs[i + 2]);
      }
    if (branded) {
      std::string joined(1, char(c.timeColumn ? 2 | 4 : 4));
      for (size_t i = 0; i < st.size() && joined.size() < 6000; ++i) joined += st[i] + "\n";
      Write(root / "stream_lines", c.name, joined);
    }
    int samples = 0;
    for (const std::string& l : st) {
      if (l.empty() || l[0] == 'w' || l[0] == 'm' || l[0] == 'W' || l.size() < 3) continue;
      if (samples++ < 2) Write(root / "fields", std::string(c.name) + "_sample" + std::to_string(samples), l);
      size_t s = 0;
      for (size_t i = 0; i <= l.size(); ++i)
        if (i == l.size() || l[i] == ',') {
          if (numbers.size() < 60) numbers.insert(l.substr(s, i - s));
          s = i + 1;
        }
    }
    std::printf("%-16s %zu bytes (%zu handshake, %zu stream)\n", c.name, all.size(), handshake.size(), stream.size());
  }
  int i = 0;
  for (const std::string& n : numbers) Write(root / "parse_number_diff", "n" + std::to_string(i++), n);
  for (const char* n : {"  -1.5e-3x", "3.4028236e38", "1e-46", "0.96", "+.5", "-0", "1e", "nan", "inf",
                        "0x1p3", "1.17549435e-38", "7.006492321624085e-46", "99999999999999999999999999"})
    Write(root / "parse_number_diff", "edge" + std::to_string(i++), n);
  // Message templates of the kind the module formats, with their values.
  i = 0;
  for (const char* t : {"Value %1\\0 of %2\n#5\n#7", "%2 before %1\na\nb", "100%% of %1\nx", "100%%",
                        "Decimal separator %1 (%2) is not supported\n,\n 66b", "%1%1%1\na\nb\nc",
                        "%3 %20 %21 %0 %\n#1\n#2\n#3"})
    Write(root / "format_stream", "t" + std::to_string(i++), t);
  return 0;
}
