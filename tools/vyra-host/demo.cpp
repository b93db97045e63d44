#include "demo.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "live_server.h"
#include "module.h"
#include "plot.h"
#include "session.h"
#include "vyra_sim.h"

namespace vyra::host {

namespace fs = std::filesystem;

int RunDemo(const DemoOptions& o, std::ostream& out, std::ostream& err) {
  std::string dir = o.outDir;
  if (dir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "vyra-demo.XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      err << "vyra-host: cannot create a folder under " << fs::temp_directory_path() << "\n";
      return kExitOutput;
    }
    dir = pattern;
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    err << "vyra-host: cannot create " << dir << ": " << ec.message() << "\n";
    return kExitOutput;
  }

  // Two monitors side by side, their cuff cycles out of step.
  std::vector<std::unique_ptr<sim::Monitor>> monitors;
  try {
    std::vector<sim::TreePort> ports;
    for (int k = 0; k < 2; ++k) {
      sim::Options so;
      so.profile = sim::Profile::kBrandedVyra;
      so.cycles.firstDelay = std::chrono::milliseconds(1500 + 1500 * k);
      so.cycles.interval = std::chrono::milliseconds(6000);
      monitors.push_back(std::make_unique<sim::Monitor>(so));
      monitors.back()->Start();
      sim::TreePort port;
      port.tty = "ttyUSB" + std::to_string(k);
      port.serial = "BVLVYRA004" + std::to_string(2 + k);
      port.target = monitors.back()->SlavePath();
      ports.push_back(port);
    }
    auto paths = sim::LayOutDiscoveryTree((fs::path(dir) / "tree").string(), ports);
    // The module reads its discovery roots when it walks, so they are set before it loads.
    setenv("VYRA_SYSFS_ROOT", paths.sysfsRoot.c_str(), 1);
    setenv("VYRA_DEV_ROOT", paths.devRoot.c_str(), 1);
    out << "Two simulated monitors (branded VYRA, a cuff cycle every 6 s) on " << monitors[0]->SlavePath() << " and "
        << monitors[1]->SlavePath() << "\n"
        << "VYRA_SYSFS_ROOT=" << paths.sysfsRoot << "\nVYRA_DEV_ROOT=" << paths.devRoot << "\n\n";
  } catch (const std::exception& e) {
    err << "vyra-host: the simulated monitors could not start: " << e.what() << "\n";
    return kExitFailure;
  }

  Module m;
  std::string error;
  if (!m.Load(o.modulePath, error)) {
    err << "vyra-host: " << error << "\n";
    return kExitModule;
  }
  m.x().InitOnMainThread();

  out << "== vyra-host info\n";
  if (int rc = DescribeDevice(m, o.ids, out, err)) return rc;

  const std::string csv = (fs::path(dir) / "vyra-demo-{serial}.csv").string();
  const std::string edf = (fs::path(dir) / "vyra-demo-{serial}.edf").string();
  const std::string cycles = (fs::path(dir) / "vyra-demo-{serial}-cycles.csv").string();
  if (o.live) out << "\nLive view: " << o.live->Url() << "\n";
  out << "\n== vyra-host stream --devices all --seconds " << o.seconds << " --csv " << csv << " --edf " << edf
      << " --cycles " << cycles << "\n"
      << std::flush;
  StreamOptions so2;
  so2.seconds = o.seconds;
  so2.csv = csv;
  so2.edf = edf;
  so2.cycles = cycles;
  so2.devices = {"all"};
  so2.live = o.live;
  StreamResult r = StreamDevice(m, o.ids, so2, out, err);
  for (auto& monitor : monitors) monitor->Stop();
  if (r.exit != kExitOk) return r.exit;

  for (const DeviceResult& d : r.devices) {
    out << "\nMonitor " << d.serial << ": first rows of " << d.csvPath << " (" << d.rows << " rows):\n";
    std::ifstream in(d.csvPath);
    std::string line;
    for (int i = 0; i < 4 && std::getline(in, line); ++i) out << "  " << line << "\n";
    out << "Comments: " << d.comments << " (" << d.commentsPath << ")\n";
    if (d.comments == 0) out << "  (no cuff cycle ended within " << o.seconds << " s; try --seconds 20)\n";
    if (d.edfFiles.empty()) out << "EDF+ recording: none kept (no sample was recorded)\n";
    for (const auto& file : d.edfFiles) {
      const bool bdf = file.size() > 4 && file.compare(file.size() - 4, 4, ".bdf") == 0;
      out << (bdf ? "BDF+" : "EDF+") << " recording: " << file << " (open it in EDFbrowser, or with MNE's "
          << (bdf ? "read_raw_bdf" : "read_raw_edf") << ")\n";
    }
    out << "  " << d.edfRecords << " data records of " << d.edfRecordSeconds << " s\n"
        << "Cycle table: " << d.cyclesPath << " (" << d.cycles << " cycles)\n";
    if (!d.cycleSummary.empty()) out << "  " << d.cycleSummary << "\n";
  }

  for (const DeviceResult& d : r.devices) {
    const std::string png = fs::path(d.csvPath).replace_extension(".png").string();
    out << "\n== vyra-host plot " << d.csvPath << " --png " << png << "\n";
    if (int rc = PlotCsv(d.csvPath, png, err)) return rc;
    out << "Plot of the cuff waveform and every channel of " << d.serial << ": " << png << "\n";
  }
  return kExitOk;
}

}  // namespace vyra::host
