#include "session.h"
#include "session_parts.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>

#include "edf_recording.h"
#include "host_recording.h"
#include "live_server.h"
#include "stream_data.h"

namespace vyra::host {

namespace {

std::atomic<bool> g_interrupted{false};
int g_wake[2] = {-1, -1};

void OnSignal(int) {
  g_interrupted.store(true);
  if (g_wake[1] >= 0) {
    const char c = 's';
    [[maybe_unused]] ssize_t n = write(g_wake[1], &c, 1);
  }
}

}  // namespace

// The plug-in's messages carry their own line breaks; indent them under ours.
std::string Indent(const std::string& text) {
  if (text.empty()) return "  (the module gave no reason)";
  std::string out = "  ";
  for (char c : text) {
    out += c;
    if (c == '\n') out += "  ";
  }
  return out;
}

CloseGuard::~CloseGuard() {
  m.x().CloseAll();
  int now = ThreadCount() - (live ? live->Threads() : 0);
  if (threadsBefore > 0 && now > threadsBefore) {
    err << "vyra-host: warning: " << (now - threadsBefore) << " thread(s) still running after CloseAll\n";
  }
}

// FindDevice + Initialise; on failure prints why and returns the exit code.
int OpenDevice(Module& m, const std::string& ids, int& index, std::ostream& err) {
  index = -1;
  if (!m.x().FindDevice(&index, ids.c_str())) {
    err << "vyra-host: no device found (identifiers \"" << ids << "\"):\n" << Indent(m.LastError(-1)) << "\n";
    return kExitNoDevice;
  }
  if (!m.x().Initialise(index)) {
    std::string own = m.LastError(index);
    err << "vyra-host: device " << index << " did not initialise:\n";
    if (!own.empty()) err << Indent(own) << "\n";
    err << Indent(m.LastError(-1)) << "\n";
    return kExitInitialise;
  }
  return kExitOk;
}

int CommandFailed(Module& m, const char* what, std::ostream& err) {
  err << "vyra-host: " << what << " failed:\n" << Indent(m.LastError(-1)) << "\n";
  return kExitDevice;
}

int ReadChannels(Module& m, int index, std::vector<ChannelInfo>& channels, std::ostream& err) {
  int32_t count = 0;
  if (!m.Number(index, kChannelCount, 0, count)) return CommandFailed(m, "reading the channel count", err);
  for (int n = 1; n <= count; ++n) {
    ChannelInfo c;
    c.number = n;
    if (!m.Text(index, kChannelName, n, c.name)) return CommandFailed(m, "reading a channel name", err);
    if (!m.Text(index, kBaseScaling, n, c.scalingText)) return CommandFailed(m, "reading a channel scaling", err);
    c.scaling = ParseBaseScaling(c.scalingText);
    channels.push_back(std::move(c));
  }
  return kExitOk;
}

std::string FormatNumber(double v, int decimals) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

void InstallInterruptHandler() {
  if (g_wake[0] < 0 && pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0) g_wake[0] = g_wake[1] = -1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process the ordinary way
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_flags = 0;
  sigaction(SIGTERM, &sa, nullptr);
  // A reader that goes away (| head) ends the stream through the failed write instead.
  signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return g_interrupted.load(); }

int WakeFd() { return g_wake[0]; }

void WakeWaiter() {
  if (g_wake[1] >= 0) {
    const char c = 'w';
    [[maybe_unused]] ssize_t n = write(g_wake[1], &c, 1);
  }
}

int ThreadCount() {
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return ec ? -1 : n;
}

int ScanDevices(Module& m, const std::string& ids, bool initialise, std::ostream& out, std::ostream& err) {
  CloseGuard guard{m, ThreadCount(), err};
  int found = 0;
  // Each call resumes the walk; a bound keeps a misbehaving module from looping forever.
  for (int attempt = 0; attempt < 256 && !Interrupted(); ++attempt) {
    int index = -1;
    if (!m.x().FindDevice(&index, ids.c_str())) break;
    ++found;
    int uid = 0;
    m.x().GetUniqueID(index, &uid);
    out << "device " << index << ": unique ID " << uid;
    if (initialise) {
      // The serial number and name are answered once the device has described itself.
      if (m.x().Initialise(index)) {
        std::string serial, name;
        m.Text(index, kSerialNumber, 0, serial);
        m.Text(index, kDeviceName, 0, name);
        out << ", serial " << (serial.empty() ? "(none)" : serial) << ", " << name;
      } else {
        std::string own = m.LastError(index);
        out << ", not usable: " << (own.empty() ? m.LastError(-1) : own);
      }
    }
    out << "\n";
  }
  if (Interrupted()) return kExitInterrupted;
  if (found == 0) {
    err << "vyra-host: no device found (identifiers \"" << ids << "\"):\n" << Indent(m.LastError(-1)) << "\n";
    return kExitNoDevice;
  }
  return kExitOk;
}

int DescribeDevice(Module& m, const std::string& ids, std::ostream& out, std::ostream& err) {
  CloseGuard guard{m, ThreadCount(), err};
  int index = -1;
  if (int rc = OpenDevice(m, ids, index, err)) return rc;
  std::string name, maker, firmware, serial;
  if (!m.Text(index, kDeviceName, 0, name)) return CommandFailed(m, "reading the device name", err);
  m.Text(index, kManufacturer, 0, maker);
  m.Text(index, kFirmware, 0, firmware);
  m.Text(index, kSerialNumber, 0, serial);
  int uid = 0;
  m.x().GetUniqueID(index, &uid);
  std::vector<ChannelInfo> channels;
  if (int rc = ReadChannels(m, index, channels, err)) return rc;

  out << "Device " << index << "\n"
      << "  name          " << name << "\n"
      << "  manufacturer  " << maker << "\n"
      << "  firmware      " << firmware << "\n"
      << "  serial        " << (serial.empty() ? "(none)" : serial) << "\n"
      << "  unique ID     " << uid << "\n"
      << "  channels      " << channels.size() << "\n\n";
  struct Row {
    std::string cells[7];
  };
  std::vector<Row> rows = {{{"ch", "name", "unit", "range", "exp", "period_us", "enabled"}}};
  for (const auto& c : channels) {
    int32_t period = 0;
    m.Number(index, kUploadPeriod, c.number, period);
    bool enabled = m.Run(index, kChannelEnabled, c.number);
    Row r{{std::to_string(c.number), c.name, "?", "? (" + c.scalingText + ")", "?", std::to_string(period),
           enabled ? "yes" : "no"}};
    if (c.scaling) {
      r.cells[2] = c.scaling->unit.empty() ? "-" : c.scaling->unit;
      r.cells[3] = FormatNumber(c.scaling->Min(), c.scaling->exponent) + " .. " +
                   FormatNumber(c.scaling->Max(), c.scaling->exponent);
      r.cells[4] = std::to_string(c.scaling->exponent);
    }
    rows.push_back(std::move(r));
  }
  // Widths in characters, not bytes: units such as "\xc2\xb5L" are UTF-8.
  auto width = [](const std::string& s) {
    size_t n = 0;
    for (unsigned char ch : s) n += (ch & 0xC0) != 0x80;
    return n;
  };
  size_t widths[7] = {};
  for (const auto& r : rows) {
    for (int k = 0; k < 7; ++k) widths[k] = std::max(widths[k], width(r.cells[k]));
  }
  for (const auto& r : rows) {
    std::string line;
    for (int k = 0; k < 7; ++k) {
      line += r.cells[k];
      if (k < 6) line += std::string(widths[k] - width(r.cells[k]) + 2, ' ');
    }
    out << line << "\n";
  }
  return kExitOk;
}

}  // namespace vyra::host
