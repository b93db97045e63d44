// vyra-sim: serves a simulated monitor, or the replay of a module's byte trace, on a
// pseudo-terminal until SIGINT or SIGTERM.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <map>

#include "vyra_sim.h"

namespace {

using vyra::sim::CycleKind;
using vyra::sim::Fault;
using vyra::sim::Profile;

const std::map<std::string, Profile> kProfiles = {
    {"branded", Profile::kBrandedVyra}, {"plain", Profile::kPlainVyra},
    {"ventilator", Profile::kVentilator}, {"oximeter", Profile::kOximeter},
    {"capnograph", Profile::kCapnograph}};
const std::map<std::string, Fault> kFaults = {
    {"none", Fault::kNone},           {"silent", Fault::kSilent},
    {"wrong-level", Fault::kWrongFirmwareLevel}, {"short-version", Fault::kShortVersion},
    {"garbage", Fault::kGarbage},     {"stall", Fault::kStall},
    {"hangup", Fault::kHangUp}};
const std::map<std::string, CycleKind> kCycleKinds = {
    {"normal", CycleKind::kNormal}, {"error", CycleKind::kError},
    {"cut", CycleKind::kCutShort},  {"prior", CycleKind::kStartedBefore},
    {"held", CycleKind::kHeld}};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated Dura monitor on a pseudo-terminal"};
  vyra::sim::Options o;
  int firstMs = 1000, intervalMs = 5000, blockGapMs = 0;
  bool noCycles = false, verbose = false;
  std::vector<CycleKind> plan;
  std::string tree, serial = "BVLVYRA0042", tty = "ttyUSB0", driver = "ftdi_sio";
  bool noFtdi = false;
  std::string replayPath, replayPort;

  app.add_option("--profile", o.profile, "monitor kind")
      ->transform(CLI::CheckedTransformer(kProfiles, CLI::ignore_case));
  app.add_flag("--time-column", o.timeColumn, "sample lines start with a time column");
  app.add_option("--fault", o.fault, "fault to show")
      ->transform(CLI::CheckedTransformer(kFaults, CLI::ignore_case));
  app.add_option("--fault-after", o.faultAfterLines, "sample lines before a stall or hang-up");
  app.add_option("--garbage-every", o.garbageEvery, "sample lines between junk lines");
  app.add_option("--bps", o.bytesPerSecond, "bytes per second on the line, 0 for no pacing");
  app.add_option("--rates", o.uploadRates, "upload-rate list, seconds");
  app.add_option("--rate", o.initialRate, "rate entry in force at start");
  app.add_flag("--no-cycles", noCycles, "no cuff cycles");
  app.add_option("--first-cycle-ms", firstMs, "from streaming start to the first cycle");
  app.add_option("--cycle-ms", intervalMs, "between cycle starts");
  app.add_option("--upload-values", o.cycles.valuesPerUpload, "waveform values per upload (WI5 field 2)");
  app.add_option("--block-values", o.cycles.blockValues, "value fields per w5 line");
  app.add_option("--block-gap-ms", blockGapMs, "time between w5 lines; 0: one per sample line");
  app.add_option("--cycle-plan", plan, "kinds of the first cycles: normal,error,cut,prior,held")
      ->delimiter(',')
      ->transform(CLI::CheckedTransformer(kCycleKinds, CLI::ignore_case));
  app.add_option("--error-code", o.cycles.errorCode, "error code of 'error' cycles");
  app.add_option("--tree", tree, "lay out a discovery tree for the port under this folder");
  app.add_option("--serial", serial, "USB serial of the port in the tree");
  app.add_option("--tty", tty, "tty name of the port in the tree");
  app.add_option("--driver", driver, "kernel driver of the port in the tree");
  app.add_flag("--no-ftdi-driver", noFtdi, "leave the FTDI driver out of the tree");
  app.add_flag("-v,--verbose", verbose, "print received commands on standard error");
  app.add_option("--replay", replayPath,
                 "serve the device side of a trace the module wrote (VYRA_TRACE) instead of a simulated monitor")
      ->check(CLI::ExistingFile);
  app.add_option("--replay-port", replayPort, "the trace's port to replay, by path or name (default: the first)")
      ->needs("--replay");
  std::vector<std::string> extras;
  app.add_option("--extra-channel", extras, "a channel after the profile's, NAME:UNIT:MAX:MIN[:VALUE] (steady values: VALUE as written, or the middle)");
  CLI11_PARSE(app, argc, argv);

  for (const std::string& e : extras) {
    std::vector<std::string> f(1);
    for (char c : e) {
      if (c == ':') {
        f.emplace_back();
      } else {
        f.back() += c;
      }
    }
    if (f.size() != 4 && f.size() != 5) {
      std::cerr << "vyra-sim: --extra-channel takes NAME:UNIT:MAX:MIN[:VALUE], not " << e << std::endl;
      return 2;
    }
    o.extraChannels.push_back({f[0], f[1], f[2], f[3], f.size() == 5 ? f[4] : ""});
  }

  o.cycles.enabled = !noCycles;
  o.cycles.firstDelay = std::chrono::milliseconds(firstMs);
  o.cycles.interval = std::chrono::milliseconds(intervalMs);
  o.cycles.blockInterval = std::chrono::milliseconds(blockGapMs);
  o.cycles.plan = plan;
  if (verbose) o.onCommand = [](const std::string& c) { std::cerr << "<- :" << c << std::endl; };

  // The serving thread inherits the mask, so only sigwait below sees these.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    std::unique_ptr<vyra::sim::Replay> replay;
    std::unique_ptr<vyra::sim::Monitor> monitor;
    if (!replayPath.empty()) {
      vyra::sim::ReplayOptions r;
      r.port = replayPort;
      r.onCommand = o.onCommand;
      r.onNote = [](const std::string& note) { std::cerr << "vyra-sim: replay: " << note << std::endl; };
      replay = std::make_unique<vyra::sim::Replay>(replayPath, r);
      replay->Start();
      std::cerr << "vyra-sim: replaying " << replay->Port() << ", " << replay->Counts().recorded
                << " recorded commands" << std::endl;
    } else {
      monitor = std::make_unique<vyra::sim::Monitor>(o);
      monitor->Start();
    }
    const std::string& slave = replay ? replay->SlavePath() : monitor->SlavePath();
    std::cout << slave << std::endl;
    if (!tree.empty()) {
      vyra::sim::TreePort port;
      port.tty = tty;
      port.serial = serial;
      port.driver = driver;
      port.target = slave;
      auto paths = vyra::sim::LayOutDiscoveryTree(tree, {port}, !noFtdi);
      std::cout << "VYRA_SYSFS_ROOT=" << paths.sysfsRoot << "\n"
                << "VYRA_DEV_ROOT=" << paths.devRoot << std::endl;
    }
    int sig = 0;
    sigwait(&stopSignals, &sig);
    if (replay) {
      replay->Stop();
      auto c = replay->Counts();
      std::cerr << "vyra-sim: " << c.answered << " of " << c.recorded << " recorded commands answered, "
                << c.skipped << " skipped, " << c.unanswered << " not answered, " << c.bytesSent << " bytes sent"
                << std::endl;
    } else {
      monitor->Stop();
      auto s = monitor->GetStats();
      std::cerr << "vyra-sim: " << s.sampleLines << " sample lines, " << monitor->Cycles().size()
                << " cycles, " << s.bytesSent << " bytes sent" << std::endl;
    }
  } catch (const std::exception& e) {
    std::cerr << "vyra-sim: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
