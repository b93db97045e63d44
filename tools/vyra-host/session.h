#pragma once
// The host's jobs: scan for monitors, describe one, stream its samples.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "module.h"

namespace vyra::host {

class LiveServer;

// Exit codes scripts can test. Argument errors found by the command-line parser keep the
// parser's own codes (100 and above).
enum Exit : int {
  kExitOk = 0,
  kExitFailure = 1,        // anything not listed below
  kExitBadValue = 2,       // a value the device does not accept (--period, --channels)
  kExitModule = 3,         // module not found, not loadable, or not a plug-in
  kExitNoDevice = 4,       // FindDevice found nothing
  kExitInitialise = 5,     // Initialise failed: not responding, wrong firmware
  kExitDevice = 6,         // a command or sampling failed, or the device failed while streaming
  kExitOutput = 7,         // CSV, comments, script or PNG could not be written, gnuplot failed
  kExitInterrupted = 130,  // stopped by SIGINT, cleanly
};

// SIGINT and SIGTERM set a flag the long loops poll; a second SIGINT ends the process.
void InstallInterruptHandler();
bool Interrupted();

int ScanDevices(Module& m, const std::string& ids, bool initialise, std::ostream& out, std::ostream& err);
int DescribeDevice(Module& m, const std::string& ids, std::ostream& out, std::ostream& err);

struct StreamOptions {
  double seconds = 10;          // 0: until interrupted
  std::string csv;              // empty: data lines on standard output
  std::string edf;              // EDF+ recording of the selected, enabled channels
  std::string cycles;           // one row per cuff cycle
  int periodUs = 0;             // 0: keep the device's period
  std::vector<int> channels;    // empty: every channel
  bool progress = true;
  // Empty: the first device found. "all", or the serial numbers to stream.
  std::vector<std::string> devices;
  bool reconnect = false;       // look for a failed device again and go on
  double splitSeconds = 0;      // > 0: a new EDF+ file after this much recording
  LiveServer* live = nullptr;   // started by the caller; sees the devices, their samples and comments
};

// With several devices each output path names its device with this; it is replaced by the
// serial number.
constexpr const char* kSerialField = "{serial}";
bool SeveralDevices(const StreamOptions& o);
// Why the options cannot be used (an output path without {serial} for several devices), or
// empty.
std::string CheckOutputPaths(const StreamOptions& o);
std::string ForSerial(const std::string& path, const std::string& serial);
// NAME.edf for the first file, NAME-2.edf, NAME-3.edf, ... after it.
std::string NumberedPath(const std::string& path, int number);

struct DeviceResult {
  std::string serial;
  std::vector<uint64_t> samples;  // per selected channel
  uint64_t rows = 0;              // CSV rows written
  size_t comments = 0;
  std::string csvPath, commentsPath, cyclesPath;
  std::vector<std::string> edfFiles;
  uint64_t edfRecords = 0;        // over every file
  double edfRecordSeconds = 0;
  size_t cycles = 0;
  std::string cycleSummary;       // empty when no cycle was seen
  int losses = 0;
  double secondsLost = 0;
};
struct StreamResult {
  int exit = kExitOk;
  std::vector<DeviceResult> devices;  // the devices streamed, in the order found
};
StreamResult StreamDevice(Module& m, const std::string& ids, const StreamOptions& o, std::ostream& out,
                          std::ostream& err);

// Threads of this process; -1 where it cannot be told.
int ThreadCount();

}  // namespace vyra::host
