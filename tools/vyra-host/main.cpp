// vyra-host: a command-line host for the VYRA plug-in. It loads the module by path and drives
// it only through its exports, as the data-acquisition host does.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "live_server.h"
#include "module.h"
#include "plot.h"
#include "session.h"
#ifdef VYRA_HOST_DEMO
#include "demo.h"
#endif

namespace {

constexpr const char* kFooter = R"(Exit codes:
  0    done
  1    unexpected failure
  2    the device refused a value (--period not offered, --channels out of range)
  3    module not found, not loadable, or missing exports (the loader's message is printed)
  4    no device found (the plug-in's reason: driver missing, or nothing plugged in)
  5    the device did not initialise (not responding, wrong firmware)
  6    a device command or sampling failed, or the device failed while streaming
  7    an output file could not be written, gnuplot failed, or --serve could not listen
  100+ bad command-line arguments
  130  stopped by Ctrl-C (sampling stopped, devices closed)

Environment read by the module: VYRA_LOG (log file, or - for standard error),
VYRA_TRACE (every byte to and from the monitors, for a bug report; vyra-sim --replay serves it),
VYRA_SYSFS_ROOT and VYRA_DEV_ROOT (discovery roots, default /sys and /dev).)";

}  // namespace

int main(int argc, char** argv) {
  using namespace vyra::host;
  CLI::App app{"Command-line host for the VYRA monitor plug-in"};
  app.footer(kFooter);
  app.require_subcommand(1);

  std::string modulePath = DefaultModulePath();
  std::string ids = "BVLVYRA,Z800,VEZ";
  std::vector<std::string> env;
  app.add_option("--module", modulePath, "plug-in module to load")->capture_default_str();
  app.add_option("--ids", ids, "identifier list for FindDevice (comma-separated)")->capture_default_str();
  app.add_option("--env", env, "NAME=VALUE set for the module before it loads (repeatable)")
      ->check([](const std::string& s) { return s.find('=') > 0 && s.find('=') != std::string::npos ? std::string() : std::string("expected NAME=VALUE"); });

  auto* scan = app.add_subcommand("scan", "find every device; print index, serial number and unique ID");
  std::string scanIds;
  bool noInit = false;
  scan->add_option("IDS", scanIds, "identifier list (default: --ids)");
  scan->add_flag("--no-init", noInit, "do not initialise the devices (no serial number then)");

  app.add_subcommand("info", "initialise the first device and print its description and channels");

  auto* stream = app.add_subcommand("stream", "sample one device or several at once; data lines or CSV, with comments");
  StreamOptions so;
  bool noProgress = false;
  stream->add_option("--seconds", so.seconds, "how long to sample; 0 until Ctrl-C")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1e7));
  stream->add_option("--csv", so.csv, "write engineering values as CSV (comments to CSV.comments)");
  stream->add_option("--edf", so.edf,
                     "also write an EDF+ recording: the enabled channels, comments as annotations");
  stream->add_option("--cycles", so.cycles, "write one CSV row per cuff cycle (results or error)");
  stream->add_option("--period", so.periodUs, "sample period in microseconds (one the device offers)")
      ->check(CLI::PositiveNumber);
  stream->add_option("--channels", so.channels, "channel numbers to output, from 1 (default all)")
      ->delimiter(',')
      ->check(CLI::PositiveNumber);
  stream->add_flag("--no-progress", noProgress, "no progress line on standard error");
  stream->add_option("--devices", so.devices,
                     "all, or serial numbers (comma-separated): sampled at once; output paths then contain {serial}")
      ->delimiter(',');
  stream->add_flag("--reconnect", so.reconnect,
                   "a device that fails is looked for again once a second; the others go on");
  stream->add_option("--split", so.splitSeconds, "start a new EDF+ file after this many seconds of recording")
      ->check(CLI::PositiveNumber);
  std::string serve;
  auto serveCheck = [](const std::string& s) {
    std::string address, error;
    int port = 0;
    return ParseServeAddress(s, address, port, error) ? std::string() : error;
  };
  stream->add_option("--serve", serve, "serve a live page of the stream at [ADDR:]PORT (address 127.0.0.1 unless named)")
      ->check(serveCheck);

  auto* plot = app.add_subcommand("plot", "plot a CSV written by stream, comments marked, to a PNG");
  std::string plotCsv, plotPng;
  plot->add_option("CSV", plotCsv, "CSV written by 'stream --csv'")->required()->check(CLI::ExistingFile);
  plot->add_option("--png", plotPng, "PNG to write (default: CSV with .png)");

#ifdef VYRA_HOST_DEMO
  auto* demo = app.add_subcommand("demo", "simulated monitor: info, a stream with cuff comments (CSV, EDF+, cycle table), a plot");
  double demoSeconds = 20;
  std::string demoOut;
  demo->add_option("--seconds", demoSeconds, "stream length")->capture_default_str()->check(CLI::Range(1.0, 1e7));
  demo->add_option("--out", demoOut, "folder for the outputs (default: a new temporary folder)");
  demo->add_option("--serve", serve, "serve a live page of the stream at [ADDR:]PORT")->check(serveCheck);
#endif

  try {
    app.parse(argc, argv);
    if (stream->parsed()) {
      // Refused before any device is touched: with several devices one file would take them all.
      if (std::string why = CheckOutputPaths(so); !why.empty()) throw CLI::ValidationError(why);
      if (std::find(so.devices.begin(), so.devices.end(), "all") != so.devices.end() && so.devices.size() > 1) {
        throw CLI::ValidationError("--devices: all, or a list of serial numbers, not both");
      }
    }
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  // The live view listens before the device opens, so its address is known from the start.
  LiveServer live;
  if (!serve.empty()) {
    std::string address, error;
    int port = 0;
    ParseServeAddress(serve, address, port, error);
    if (!live.Start(address, port, error)) {
      std::cerr << "vyra-host: --serve: " << error << "\n";
      return kExitOutput;
    }
    if (stream->parsed()) std::cerr << "vyra-host: live view at " << live.Url() << "\n";
  }
  // Unbuffered order between our lines and the module's own standard-error entries.
  std::cout.setf(std::ios::unitbuf, std::ios::unitbuf);
  InstallInterruptHandler();
  for (const auto& e : env) {
    auto at = e.find('=');
    setenv(e.substr(0, at).c_str(), e.substr(at + 1).c_str(), 1);
  }

  if (plot->parsed()) {
    if (plotPng.empty()) plotPng = std::filesystem::path(plotCsv).replace_extension(".png").string();
    int rc = PlotCsv(plotCsv, plotPng, std::cerr);
    if (rc == kExitOk) std::cout << plotPng << "\n";
    return rc;
  }
#ifdef VYRA_HOST_DEMO
  if (demo->parsed()) {
    DemoOptions d;
    d.seconds = demoSeconds;
    d.outDir = demoOut;
    d.modulePath = modulePath;
    d.ids = ids;
    d.live = serve.empty() ? nullptr : &live;
    return RunDemo(d, std::cout, std::cerr);
  }
#endif

  Module m;
  std::string error;
  if (!m.Load(modulePath, error)) {
    std::cerr << "vyra-host: " << error << "\n";
    return kExitModule;
  }
  m.x().InitOnMainThread();
  if (scan->parsed()) return ScanDevices(m, scanIds.empty() ? ids : scanIds, !noInit, std::cout, std::cerr);
  if (stream->parsed()) {
    so.progress = !noProgress;
    so.live = serve.empty() ? nullptr : &live;
    return StreamDevice(m, ids, so, std::cout, std::cerr).exit;
  }
  return DescribeDevice(m, ids, std::cout, std::cerr);
}
