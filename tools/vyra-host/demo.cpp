#include "demo.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

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

  sim::Options so;
  so.profile = sim::Profile::kBrandedVyra;
  so.cycles.firstDelay = std::chrono::milliseconds(1500);
  so.cycles.interval = std::chrono::milliseconds(6000);
  sim::Monitor monitor(so);
  try {
    monitor.Start();
    sim::TreePort port;
    port.target = monitor.SlavePath();
    auto paths = sim::LayOutDiscoveryTree((fs::path(dir) / "tree").string(), {port});
    // The module reads its discovery roots when it walks, so they are set before it loads.
    setenv("VYRA_SYSFS_ROOT", paths.sysfsRoot.c_str(), 1);
    setenv("VYRA_DEV_ROOT", paths.devRoot.c_str(), 1);
    out << "Simulated monitor (branded VYRA, cuff cycle every 6 s) on " << monitor.SlavePath() << "\n"
        << "VYRA_SYSFS_ROOT=" << paths.sysfsRoot << "\nVYRA_DEV_ROOT=" << paths.devRoot << "\n\n";
  } catch (const std::exception& e) {
    err << "vyra-host: the simulated monitor could not start: " << e.what() << "\n";
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

  const std::string csv = (fs::path(dir) / "vyra-demo.csv").string();
  const std::string edf = (fs::path(dir) / "vyra-demo.edf").string();
  const std::string cycles = (fs::path(dir) / "vyra-demo-cycles.csv").string();
  if (o.live) out << "\nLive view: " << o.live->Url() << "\n";
  out << "\n== vyra-host stream --seconds " << o.seconds << " --csv " << csv << " --edf " << edf << " --cycles "
      << cycles << "\n"
      << std::flush;
  StreamOptions so2;
  so2.seconds = o.seconds;
  so2.csv = csv;
  so2.edf = edf;
  so2.cycles = cycles;
  so2.live = o.live;
  StreamResult r = StreamDevice(m, o.ids, so2, out, err);
  monitor.Stop();
  if (r.exit != kExitOk) return r.exit;

  out << "\nFirst rows of " << csv << " (" << r.rows << " rows):\n";
  std::ifstream in(csv);
  std::string line;
  for (int i = 0; i < 6 && std::getline(in, line); ++i) out << "  " << line << "\n";
  out << "Comments: " << r.comments << " (" << r.commentsPath << ")\n";
  if (r.comments == 0) out << "  (no cuff cycle ended within " << o.seconds << " s; try --seconds 20)\n";
  if (r.edfPath.empty()) {
    out << "EDF+ recording: none kept (no sample was recorded)\n";
  } else {
    out << (r.edfBdf ? "BDF+" : "EDF+") << " recording: " << r.edfPath << " (" << r.edfRecords << " data records of "
        << r.edfRecordSeconds << " s; open it in EDFbrowser, or with MNE's " << (r.edfBdf ? "read_raw_bdf" : "read_raw_edf")
        << ")\n";
  }
  out << "Cycle table: " << cycles << " (" << r.cycles << " cycles)\n";
  if (!r.cycleSummary.empty()) out << "  " << r.cycleSummary << "\n";

  const std::string png = (fs::path(dir) / "vyra-demo.png").string();
  out << "\n== vyra-host plot " << csv << " --png " << png << "\n";
  if (int rc = PlotCsv(csv, png, err)) return rc;
  out << "Plot of the cuff waveform and every channel: " << png << "\n";
  return kExitOk;
}

}  // namespace vyra::host
