// The simulated monitor, seen from the host side of its pseudo-terminal.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "vyra_sim.h"

namespace {

using namespace std::chrono_literals;
using vyra::sim::CycleKind;
using vyra::sim::Fault;
using vyra::sim::Monitor;
using vyra::sim::Options;
using vyra::sim::Profile;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == ',')
      out.emplace_back();
    else
      out.back().push_back(c);
  }
  return out;
}

// The host end, with every command's frame required to go out whole.
class HostEnd : public vyra::sim::HostEnd {
 public:
  using vyra::sim::HostEnd::HostEnd;
  void Send(const std::string& text) { ASSERT_TRUE(vyra::sim::HostEnd::Send(text)) << text; }
  // Next line that is neither waveform nor measurement.
  std::optional<std::string> SampleLine() {
    for (;;) {
      auto l = Line();
      if (!l || (l->rfind("w5", 0) != 0 && l->rfind("m,", 0) != 0)) return l;
    }
  }
};

Options Fast(Profile p, bool timeColumn = false) {
  Options o;
  o.profile = p;
  o.timeColumn = timeColumn;
  o.bytesPerSecond = 0;
  return o;
}

// Runs the handshake up to the channel description, checking the shape of every reply.
void Handshake(HostEnd& host, const Monitor& m, const std::string& names) {
  const bool branded = m.options().profile == Profile::kBrandedVyra;
  host.Send("S");
  EXPECT_EQ(host.Line(), "S");
  if (branded) {
    host.Send("WN5");
    EXPECT_EQ(host.Line().value_or("").substr(0, 3), "WN5");
  }
  host.Send("V");
  auto v = Fields(host.Line().value_or(""));
  ASSERT_GE(v.size(), 8u);
  EXPECT_EQ(v[0], "V");
  EXPECT_EQ(v[4], "1");
  EXPECT_EQ(v[5], m.profile().model);
  EXPECT_EQ(v[7] == "BVL", branded);
  if (branded) {
    host.Send("BvL");
    EXPECT_EQ(host.Line().value_or("").substr(0, 1), "A");
  }
  const int width = m.profile().ParameterCount();
  host.Send("F");
  EXPECT_EQ(host.Line(), "F");
  auto params = host.Line().value_or("");
  EXPECT_NE(params.substr(0, 1), "F");
  EXPECT_EQ(int(Fields(params).size()), width);
  EXPECT_EQ(host.Line(), m.options().uploadRates);
  host.Send("U" + std::string(width, '1'));
  EXPECT_EQ(host.Line(), "U");
  host.Send("I");
  EXPECT_EQ(host.Line(), "I");
  std::vector<std::vector<std::string>> desc;
  for (int i = 0; i < 4; ++i) desc.push_back(Fields(host.Line().value_or("")));
  for (auto& d : desc) EXPECT_EQ(int(d.size()), width);
  std::string namesLine;
  for (auto& n : desc[0]) namesLine += (namesLine.empty() ? "" : ",") + n;
  EXPECT_EQ(namesLine, (m.profile().timeColumn ? "Time," : "") + names);
}

struct ProfileCase {
  Profile profile;
  bool timeColumn;
  const char* names;  // device channel names the host classifies
};

class SimProfile : public testing::TestWithParam<ProfileCase> {};

// Handshake shapes, then sample lines: width, counter without gaps, values in range, period.
TEST_P(SimProfile, HandshakeThenStreamsCountedSamples) {
  Options o = Fast(GetParam().profile, GetParam().timeColumn);
  o.cycles.enabled = false;
  Monitor m(o);
  m.Start();
  HostEnd host(m.SlavePath());
  ASSERT_TRUE(host.ok());
  Handshake(host, m, GetParam().names);

  const auto& info = m.profile();
  const int first = info.timeColumn ? 1 : 0;
  host.Send("B");
  ASSERT_EQ(host.Line(), "B");
  auto start = Clock::now();
  long previous = -1;
  double previousTime = -1;
  const int lines = 30;
  for (int i = 0; i < lines; ++i) {
    auto f = Fields(host.Line().value_or(""));
    ASSERT_EQ(int(f.size()), info.ParameterCount());
    if (info.timeColumn) {
      double t = std::stod(f[0]);
      if (previousTime >= 0) {
        EXPECT_NEAR(t - previousTime, 0.02, 1e-6);
      }
      previousTime = t;
    }
    long counter = std::stol(f[first + info.counterChannel]);
    if (previous >= 0) {
      EXPECT_EQ(counter, (previous + 1) % info.counterModulus);
    }
    previous = counter;
    for (std::size_t c = 0; c < info.channels.size(); ++c) {
      if (f[first + c] == "*") continue;
      double v = std::stod(f[first + c]);
      EXPECT_GE(v, std::stod(info.channels[c].minText)) << info.channels[c].name;
      EXPECT_LE(v, std::stod(info.channels[c].maxText)) << info.channels[c].name;
    }
  }
  // 30 lines at 20 ms cannot come in much less than 600 ms.
  EXPECT_GE(Clock::now() - start, 560ms);

  host.Send("S");
  while (auto l = host.Line(500ms))
    if (*l == "S") break;
  EXPECT_FALSE(host.Line(150ms)) << "sample lines after the stop echo";
  EXPECT_FALSE(m.GetStats().streaming);
  EXPECT_EQ(m.Commands().front(), "S");
  EXPECT_EQ(m.Commands().back(), "S");
}

INSTANTIATE_TEST_SUITE_P(Profiles, SimProfile,
                         testing::Values(
                             ProfileCase{Profile::kBrandedVyra, false, "systol,diasto,mean B,HR,volume"},
                             ProfileCase{Profile::kPlainVyra, true, "systol,diasto,mean B,HR,volume"},
                             ProfileCase{Profile::kVentilator, false, "PeakPr,MeasTV,MeasRR,PEEP,MeasMV"},
                             ProfileCase{Profile::kOximeter, true, "SpO2,HR,Perfus"},
                             ProfileCase{Profile::kCapnograph, true, "MinCO2,PeakCO,InstCO,MeasRR"}));

TEST(SimRates, RateCommandSelectsListEntry) {
  Monitor m(Fast(Profile::kOximeter, true));
  m.Start();
  HostEnd host(m.SlavePath());
  host.Send("P0");
  host.Send("P5");  // EndOfCycle has no period: the last real choice stays
  ASSERT_TRUE(m.WaitForCommand("P5", 1s));
  EXPECT_EQ(m.GetStats().periodUs, 5000);
  host.Send("B");
  ASSERT_EQ(host.Line(), "B");
  double first = std::stod(Fields(host.Line().value_or("")).at(0));
  for (int i = 1; i <= 5; ++i)
    EXPECT_NEAR(std::stod(Fields(host.Line().value_or("")).at(0)) - first, 0.005 * i, 1e-6);
  host.Send("P3");
  ASSERT_TRUE(m.WaitForCommand("P3", 1s));
  EXPECT_EQ(m.GetStats().periodUs, 50000);
}

// Cycle kinds as a host sees them: block indices, totals against WI5, measurement fields.
TEST(SimCycles, UploadsMatchWaveformInfoAndRecords) {
  Options o = Fast(Profile::kBrandedVyra);
  o.cycles.firstDelay = 60ms;
  o.cycles.interval = 400ms;
  o.cycles.valuesPerUpload = 120;
  o.cycles.blockValues = 20;
  o.cycles.plan = {CycleKind::kNormal, CycleKind::kError, CycleKind::kCutShort,
                   CycleKind::kStartedBefore};
  Monitor m(o);
  m.Start();
  HostEnd host(m.SlavePath());
  host.Send("WI5");
  auto wi5 = Fields(host.Line().value_or(""));
  ASSERT_GE(wi5.size(), 12u);
  const int expected = std::stoi(wi5[2]);
  EXPECT_EQ(expected, 120);

  host.Send("B");
  ASSERT_EQ(host.Line(), "B");
  struct Seen {
    int firstIndex = 0, values = 0, samplesBetween = 0;
    std::vector<int> cuff;
    std::vector<std::string> m;
  };
  // With one block per sample line, a block after a longer run of sample lines, or with
  // index 0, begins another upload.
  std::vector<Seen> seen;
  int samplesSinceBlock = 0;
  while (seen.size() < 5) {
    auto l = host.Line(2s);
    ASSERT_TRUE(l);
    if (l->rfind("w5,", 0) == 0) {
      auto f = Fields(*l);
      const int index = std::stoi(f[1]);
      if (seen.empty() || index == 0 || samplesSinceBlock > 2 || !seen.back().m.empty()) {
        seen.emplace_back();
        seen.back().firstIndex = index;
      } else {
        seen.back().samplesBetween += samplesSinceBlock;
      }
      samplesSinceBlock = 0;
      Seen& s = seen.back();
      EXPECT_EQ(index, s.firstIndex + s.values) << "block index is the count of values before it";
      for (std::size_t i = 2; i < f.size(); ++i) {
        if (i % 2 == 0) s.cuff.push_back(std::stoi(f[i]));
        EXPECT_GE(std::stoi(f[i]), 0);
        EXPECT_LE(std::stoi(f[i]), 300);
      }
      s.values += int(f.size()) - 2;
    } else if ((*l)[0] == 'm') {
      ASSERT_FALSE(seen.empty());
      seen.back().m = Fields(*l);
    } else {
      ++samplesSinceBlock;
    }
  }
  auto cycles = m.Cycles();
  ASSERT_GE(cycles.size(), 4u);
  for (int c = 0; c < 4; ++c) {
    const Seen& s = seen[c];
    const auto& r = cycles[c];
    SCOPED_TRACE(c);
    EXPECT_EQ(s.values, r.valuesSent);
    EXPECT_GT(s.samplesBetween, 0) << "sample lines flow between blocks";
    EXPECT_EQ(r.measurementSent, !s.m.empty());
    switch (r.kind) {
      case CycleKind::kCutShort:
        EXPECT_EQ(s.firstIndex, 0);
        EXPECT_LT(s.values, expected);
        break;
      case CycleKind::kStartedBefore:
        EXPECT_GT(s.firstIndex, 0);
        EXPECT_EQ(s.firstIndex + s.values, expected);
        break;
      default:
        EXPECT_EQ(s.firstIndex, 0);
        EXPECT_EQ(s.values, expected);
    }
    if (s.m.empty()) continue;
    ASSERT_GE(s.m.size(), 16u);
    EXPECT_EQ(std::stoi(s.m[6]), r.diastolic);
    EXPECT_EQ(std::stoi(s.m[7]), r.systolic);
    EXPECT_EQ(std::stoi(s.m[12]), r.errorCode);
    EXPECT_EQ(std::stoi(s.m[13]), r.diastolicIndex);
    EXPECT_EQ(std::stoi(s.m[14]), r.systolicIndex);
    if (r.kind == CycleKind::kError) {
      EXPECT_EQ(r.errorCode, o.cycles.errorCode);
    } else {
      EXPECT_EQ(r.errorCode, 0);
      if (s.firstIndex != 0) continue;
      // The systolic point is where the deflating cuff first reaches the systolic pressure.
      ASSERT_LT(r.diastolicIndex, int(s.cuff.size()));
      EXPECT_GT(r.systolic, r.diastolic);
      EXPECT_LT(r.systolicIndex, r.diastolicIndex);
      EXPECT_LE(s.cuff[r.systolicIndex], r.systolic);
      EXPECT_GT(s.cuff[r.systolicIndex - 1], r.systolic);
      EXPECT_LE(s.cuff[r.diastolicIndex], r.diastolic);
    }
  }
}

TEST(SimCycles, StopDuringHeldUploadMarksItInterrupted) {
  Options o = Fast(Profile::kBrandedVyra);
  o.cycles.firstDelay = 20ms;
  o.cycles.plan = {CycleKind::kHeld};
  Monitor m(o);
  m.Start();
  HostEnd host(m.SlavePath());
  host.Send("B");
  ASSERT_TRUE(m.WaitForUploadActive(2s));
  std::this_thread::sleep_for(350ms);  // one block, then a gap shorter than a host time-out
  host.Send("WN5");
  ASSERT_TRUE(m.WaitForCycles(1, 2s));
  auto c = m.Cycles().at(0);
  EXPECT_TRUE(c.interrupted);
  EXPECT_FALSE(c.measurementSent);
  EXPECT_GE(c.blocksSent, 1);
  EXPECT_LT(c.valuesSent, o.cycles.valuesPerUpload);
}

struct FaultCase {
  Fault fault;
  const char* name;
};

class SimFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SimFault, BehavesAsNamed) {
  Options o = Fast(Profile::kVentilator);
  o.fault = GetParam().fault;
  o.faultAfterLines = 10;
  o.garbageEvery = 3;
  Monitor m(o);
  m.Start();
  HostEnd host(m.SlavePath());
  host.Send("V");
  auto version = host.Line(300ms);
  ASSERT_TRUE(m.WaitForCommand("V", 1s));
  switch (o.fault) {
    case Fault::kSilent:
      EXPECT_FALSE(version);
      return;
    case Fault::kShortVersion:
      EXPECT_LT(Fields(version.value_or("V")).size(), 5u);
      return;
    case Fault::kWrongFirmwareLevel:
      EXPECT_EQ(Fields(version.value_or("")).at(4), "2");
      return;
    default:
      EXPECT_EQ(Fields(version.value_or("")).at(4), "1");
  }
  host.Send("B");
  ASSERT_EQ(host.Line(), "B");
  const int width = m.profile().ParameterCount();
  int samples = 0, junk = 0;
  long previous = -1;
  while (auto l = host.Line(300ms)) {
    auto f = Fields(*l);
    if (int(f.size()) != width) {
      ++junk;
      EXPECT_EQ(f.size(), 1u);
      EXPECT_TRUE(l->empty() || std::string("SVAFUIBWwm").find((*l)[0]) == std::string::npos);
      continue;
    }
    long counter = std::stol(f[m.profile().counterChannel]);
    if (previous >= 0) {
      EXPECT_EQ(counter, previous + 1);
    }
    previous = counter;
    if (++samples == 40) break;
  }
  switch (o.fault) {
    case Fault::kGarbage:
      EXPECT_EQ(samples, 40);
      // The monitor streams on until told to stop: count the noise already on its way too.
      host.Send("X");
      ASSERT_TRUE(m.WaitForCommand("X", 1s));
      while (auto l = host.Line(300ms)) junk += int(Fields(*l).size()) != width;
      EXPECT_GE(junk, 10);
      EXPECT_EQ(std::uint64_t(junk), m.GetStats().garbageLines);
      break;
    case Fault::kStall:
      EXPECT_EQ(samples, 10);
      EXPECT_FALSE(host.hungUp());
      EXPECT_TRUE(m.GetStats().stalled);
      host.Send("S");  // a stalled monitor does not answer
      EXPECT_FALSE(host.Line(200ms));
      break;
    case Fault::kHangUp:
      EXPECT_EQ(samples, 10);
      EXPECT_TRUE(host.hungUp());
      EXPECT_TRUE(m.WaitForHangUp(1s));
      break;
    default:
      EXPECT_EQ(samples, 40);
      EXPECT_EQ(junk, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, SimFault,
                         testing::Values(FaultCase{Fault::kNone, "none"},
                                         FaultCase{Fault::kSilent, "silent"},
                                         FaultCase{Fault::kWrongFirmwareLevel, "wrongLevel"},
                                         FaultCase{Fault::kShortVersion, "shortVersion"},
                                         FaultCase{Fault::kGarbage, "garbage"},
                                         FaultCase{Fault::kStall, "stall"},
                                         FaultCase{Fault::kHangUp, "hangUp"}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(SimControl, SendRawAndHangUp) {
  Monitor m(Fast(Profile::kOximeter));
  m.Start();
  HostEnd host(m.SlavePath());
  m.SendRaw(std::string("a\0b\r\n", 5));
  EXPECT_EQ(host.Line(), std::string("a\0b", 3));
  m.HangUp();
  EXPECT_FALSE(host.Line(500ms));
  EXPECT_TRUE(host.hungUp());
  m.Stop();  // after a hang-up, still safe
}

// A trace of two ports: the one named by its last part is served, commands are matched in
// their recorded order, and what cannot be matched is counted and told.
TEST(SimReplay, ServesTheNamedPortAndTellsWhatItCannotMatch) {
  const fs::path file = fs::temp_directory_path() / ("vyra-replay-" + std::to_string(::getpid()) + ".trace");
  std::ofstream(file) << "0 @ /t/by-id/a\n0 > :S\\n\n5 < S-a\\r\\n\n"
                         "0 @ /t/by-id/b\n10 > :S\\n\n15 < S\\r\\n\n20 > :V\\n\n25 < V,b\\r\\n\n"
                         "30 > :F\\n\n35 < F\\r\\n\n";
  try {
    vyra::sim::Replay unknown(file.string(), {.port = "c"});
    ADD_FAILURE() << "a port not in the trace was served";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no port c in the trace, only /t/by-id/a, /t/by-id/b"), std::string::npos)
        << e.what();
  }

  std::vector<std::string> notes;
  vyra::sim::Replay replay(file.string(), {.port = "b", .onNote = [&](const std::string& n) { notes.push_back(n); }});
  EXPECT_EQ(replay.Port(), "/t/by-id/b");
  replay.Start();
  HostEnd host(replay.SlavePath());
  host.Send("S");
  EXPECT_EQ(host.Line(), "S");
  host.Send("F");  // the recorded V is passed over, never answered
  EXPECT_EQ(host.Line(), "F");
  host.Send("X");
  EXPECT_FALSE(host.Line(200ms));
  replay.Stop();
  fs::remove(file);

  const auto counts = replay.Counts();
  EXPECT_EQ(counts.recorded, 3u);
  EXPECT_EQ(counts.answered, 2u);
  EXPECT_EQ(counts.skipped, 1u);
  EXPECT_EQ(counts.unanswered, 1u);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_NE(notes[0].find("(first :V) to answer :F"), std::string::npos) << notes[0];
  EXPECT_NE(notes[1].find("not answered: :X"), std::string::npos) << notes[1];
}

std::string Slurp(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(SimTree, KernelShapedDiscoveryTree) {
  fs::path root = fs::temp_directory_path() / ("vyra-sim-tree-" + std::to_string(::getpid()));
  fs::remove_all(root);
  std::vector<vyra::sim::TreePort> ports(4);
  ports[0].target = "/dev/null";
  ports[1] = {.tty = "ttyUSB1", .target = "/dev/zero", .serial = "Z800XYZA", .vendor = "10c4",
              .product = "ea60", .driver = "cp210x", .interfaceNumber = 1, .usbPort = 0,
              .usbParent = true, .deviceLink = true, .byIdLink = true};
  ports[2].tty = "ttyS0";
  ports[2].target = "/dev/null";
  ports[2].usbParent = false;
  ports[3].tty = "tty0";
  ports[3].deviceLink = false;
  auto paths = vyra::sim::LayOutDiscoveryTree(root.string(), ports);
  const fs::path sys = paths.sysfsRoot, dev = paths.devRoot;
  EXPECT_EQ(sys, root / "sys");
  EXPECT_TRUE(fs::is_directory(sys / "bus/usb-serial/drivers/ftdi_sio"));

  for (int i = 0; i < 2; ++i) {
    const auto& p = ports[i];
    SCOPED_TRACE(p.tty);
    fs::path classDir = fs::canonical(sys / "class/tty" / p.tty);
    EXPECT_TRUE(fs::read_symlink(sys / "class/tty" / p.tty).is_relative());
    EXPECT_EQ(fs::read_symlink(classDir / "device"), fs::path("../../..") / p.tty);
    fs::path port = fs::canonical(classDir / "device");
    fs::path iface = port.parent_path();
    EXPECT_EQ(Slurp(iface / "bInterfaceNumber"), i == 0 ? "00\n" : "01\n");
    EXPECT_EQ(fs::canonical(iface / "driver"), fs::canonical(sys / "bus/usb/drivers" / p.driver));
    EXPECT_EQ(Slurp(iface.parent_path() / "idVendor"), p.vendor + "\n");
    EXPECT_EQ(Slurp(iface.parent_path() / "idProduct"), p.product + "\n");
    EXPECT_EQ(Slurp(iface.parent_path() / "serial"), p.serial + "\n");
    EXPECT_EQ(fs::read_symlink(dev / p.tty), p.target);
    fs::path byId = dev / "serial/by-id" / vyra::sim::ByIdName(p);
    EXPECT_EQ(fs::read_symlink(byId), fs::path("../..") / p.tty);
    EXPECT_EQ(fs::canonical(byId), fs::canonical(p.target));
  }
  EXPECT_EQ(vyra::sim::ByIdName(ports[0]), "usb-FTDI_FT232R_USB_UART_BVLVYRA0042-if00-port0");
  // No interface above the platform port; no device at all behind the virtual one.
  for (fs::path d = fs::canonical(sys / "class/tty/ttyS0/device"); d != sys; d = d.parent_path())
    EXPECT_FALSE(fs::exists(d / "bInterfaceNumber")) << d;
  EXPECT_TRUE(fs::exists(sys / "class/tty/tty0"));
  EXPECT_FALSE(fs::exists(sys / "class/tty/tty0/device"));

  fs::remove_all(root);
  vyra::sim::LayOutDiscoveryTree(root.string(), {ports[0]}, false);
  EXPECT_FALSE(fs::exists(sys / "bus/usb-serial/drivers/ftdi_sio"));
  EXPECT_TRUE(fs::exists(sys / "class/tty/ttyUSB0/device"));
  fs::remove_all(root);
}

}  // namespace
