#include "session.h"

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
#include "live_feed.h"
#include "stream_data.h"

namespace vyra::host {

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted.store(true); }

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

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

// Closes every device on every path out of a command. The recording objects the devices
// use must outlive it, so it is declared after them.
struct CloseGuard {
  Module& m;
  int threadsBefore;
  std::ostream& err;
  LiveServer* live = nullptr;  // its threads come and go with its clients
  ~CloseGuard() {
    m.x().CloseAll();
    int now = ThreadCount() - (live ? live->Threads() : 0);
    if (threadsBefore > 0 && now > threadsBefore) {
      err << "vyra-host: warning: " << (now - threadsBefore) << " thread(s) still running after CloseAll\n";
    }
  }
};

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

struct ChannelInfo {
  int number = 0;
  std::string name;
  std::string scalingText;
  std::optional<BaseScaling> scaling;
};

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

}  // namespace

void InstallInterruptHandler() {
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

StreamResult StreamDevice(Module& m, const std::string& ids, const StreamOptions& o, std::ostream& out,
                          std::ostream& err) {
  StreamResult result;
  std::optional<HostRecording> recording;  // outlives the guard: the devices hold its proxy
  std::ofstream csvFile, commentsFile, cyclesFile;
  EdfRecording edf;  // closed on every path out, so an early failure leaves a valid file
  CloseGuard guard{m, ThreadCount() - (o.live ? o.live->Threads() : 0), err, o.live};
  auto fail = [&](int code) {
    result.exit = code;
    return result;
  };

  int index = -1;
  if (int rc = OpenDevice(m, ids, index, err)) return fail(rc);
  std::vector<ChannelInfo> channels;
  if (int rc = ReadChannels(m, index, channels, err)) return fail(rc);

  std::vector<int> selected = o.channels;
  if (selected.empty()) {
    for (const auto& c : channels) selected.push_back(c.number);
  }
  for (int n : selected) {
    if (n < 1 || n > static_cast<int>(channels.size())) {
      err << "vyra-host: --channels: no channel " << n << " (the device has " << channels.size() << ")\n";
      return fail(kExitBadValue);
    }
  }
  if (o.periodUs > 0 && !m.Run(index, kSetUploadPeriod, o.periodUs)) {
    err << "vyra-host: --period: the device does not offer a sample period of " << o.periodUs << " us\n";
    return fail(kExitBadValue);
  }
  int32_t periodUs = 0;
  if (!m.Number(index, kUploadPeriod, 0, periodUs)) return fail(CommandFailed(m, "reading the sample period", err));
  const double period = periodUs > 0 ? periodUs / 1e6 : 0.0;

  std::vector<std::string> titles;
  for (const auto& c : channels) titles.push_back(c.name);
  recording.emplace(titles, period > 0 ? period : 1.0);
  m.x().SetControllingProxy(index, recording->Proxy());

  std::optional<CsvWriter> csv;
  if (!o.csv.empty()) {
    csvFile.open(o.csv, std::ios::out | std::ios::trunc);
    result.commentsPath = o.csv + ".comments";
    commentsFile.open(result.commentsPath, std::ios::out | std::ios::trunc);
    if (!csvFile || !commentsFile) {
      err << "vyra-host: cannot write " << (!csvFile ? o.csv : result.commentsPath) << "\n";
      return fail(kExitOutput);
    }
    std::vector<CsvWriter::Column> columns;
    for (int n : selected) {
      const auto& c = channels[static_cast<size_t>(n - 1)];
      CsvWriter::Column col;
      col.channel = n;
      col.title = c.name;
      if (c.scaling) {
        if (!c.scaling->unit.empty()) col.title += " (" + c.scaling->unit + ")";
        col.divisor = c.scaling->Divisor();
        col.decimals = c.scaling->exponent;
      }
      columns.push_back(std::move(col));
    }
    csv.emplace(csvFile, std::move(columns), period);
    csv->WriteHeader();
    WriteCommentsHeader(commentsFile);
  }
  std::vector<int> edfSlot(channels.size() + 1, -1);
  if (!o.edf.empty()) {
    std::vector<EdfSignal> signals;
    for (int n : selected) {
      if (edfSlot[static_cast<size_t>(n)] >= 0 || !m.Run(index, kChannelEnabled, n)) continue;
      const auto& c = channels[static_cast<size_t>(n - 1)];
      EdfSignal s;
      s.label = c.name;
      if (c.scaling) {
        s.unit = c.scaling->unit;
        s.storedMin = c.scaling->scaledMin;
        s.storedMax = c.scaling->scaledMax;
        s.exponent = c.scaling->exponent;
      } else {
        // No readable scaling: the plain integers, as the data lines carry them.
        s.storedMin = INT16_MIN;
        s.storedMax = INT16_MAX;
      }
      edfSlot[static_cast<size_t>(n)] = static_cast<int>(signals.size());
      signals.push_back(std::move(s));
    }
    EdfIdentity id;
    m.Text(index, kDeviceName, 0, id.device);
    m.Text(index, kSerialNumber, 0, id.serial);
    m.Text(index, kFirmware, 0, id.firmware);
    std::string why;
    if (!edf.Open(o.edf, signals, periodUs, id, err, why)) {
      err << "vyra-host: --edf: " << why << "\n";
      return fail(kExitOutput);
    }
  }
  CycleTable cycles(o.cycles.empty() ? nullptr : &cyclesFile);
  if (!o.cycles.empty()) {
    cyclesFile.open(o.cycles, std::ios::out | std::ios::trunc);
    if (!cyclesFile) {
      err << "vyra-host: cannot write " << o.cycles << "\n";
      return fail(kExitOutput);
    }
    cycles.WriteHeader();
  }
  // Comments go where the data does not.
  std::ostream& commentOut = csv ? out : err;
  const bool liveProgress = o.progress && &err == &std::cerr && isatty(STDERR_FILENO);

  std::vector<int> slot(channels.size() + 1, -1);
  for (size_t k = 0; k < selected.size(); ++k) slot[static_cast<size_t>(selected[k])] = static_cast<int>(k);
  result.samples.assign(selected.size(), 0);

  LiveFeed live(o.live);
  if (live) {
    LiveDevice d;
    m.Text(index, kSerialNumber, 0, d.serial);
    m.Text(index, kDeviceName, 0, d.name);
    m.Text(index, kFirmware, 0, d.firmware);
    if (d.serial.empty()) d.serial = "device " + std::to_string(index);
    for (int n : selected) {
      const auto& c = channels[static_cast<size_t>(n - 1)];
      d.channels.push_back({n, c.name, c.scaling ? c.scaling->unit : "", c.scaling ? c.scaling->Min() : INT16_MIN,
                            c.scaling ? c.scaling->Max() : INT16_MAX, periodUs, c.scaling ? c.scaling->exponent : 0});
    }
    live.Describe(d);
  }
  if (!m.Run(index, kStartSampling, 0)) return fail(CommandFailed(m, "starting sampling", err));
  edf.SetStart(std::chrono::system_clock::now());

  const auto t0 = Clock::now();
  auto lastProgress = t0;
  bool progressShown = false;
  std::string progressText;
  uint64_t badLines = 0, reportedBad = 0;
  std::vector<char> buffer(4096);
  std::vector<DataLine> lines;

  auto progress = [&](double elapsed) {
    uint64_t least = UINT64_MAX, most = 0;
    for (uint64_t s : result.samples) {
      least = std::min(least, s);
      most = std::max(most, s);
    }
    if (result.samples.empty()) least = 0;
    std::ostringstream p;
    // The waveform channels fill in bursts after each cuff cycle; the slowest channel gives
    // the steady rate.
    p << std::fixed << std::setprecision(1) << elapsed << " s: " << least << " samples/channel";
    if (least != most) p << " (up to " << most << ")";
    p << ", " << (elapsed > 0 ? least / elapsed : 0.0) << " samples/s, " << result.comments << " comments";
    progressText = p.str();
  };
  auto clearProgress = [&] {
    if (liveProgress && progressShown) err << "\r\033[K" << std::flush;
    progressShown = false;
  };
  auto showProgress = [&] {
    if (!o.progress) return;
    if (liveProgress) {
      err << "\r" << progressText << "\033[K" << std::flush;
      progressShown = true;
    } else {
      err << progressText << "\n" << std::flush;
    }
  };
  auto drainComments = [&] {
    for (const Comment& c : recording->TakeComments()) {
      ++result.comments;
      clearProgress();
      commentOut << "comment at " << FormatNumber(c.seconds, 3) << " s (sample " << c.position << ", channel "
                 << (c.channel >= 0 ? std::to_string(c.channel + 1) : std::string("none")) << "): " << c.text
                 << std::endl;
      if (commentsFile.is_open()) WriteComment(commentsFile, c);
      edf.Annotate(c.seconds, c.text);
      cycles.Add(c);
      live.Comment(c, cycles);
    }
  };

  bool deviceFailed = false;
  while (!Interrupted()) {
    double elapsed = Since(t0);
    if (o.seconds > 0 && elapsed >= o.seconds) break;
    if (m.x().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 100)) {
      buffer.back() = '\0';
      std::string_view text(buffer.data());
      lines.clear();
      ParseDataBuffer(text, lines, badLines);
      bool wrote = false;
      for (const DataLine& d : lines) {
        int k = d.channel < static_cast<int>(slot.size()) ? slot[static_cast<size_t>(d.channel)] : -1;
        if (k < 0) continue;
        const auto& scaling = channels[static_cast<size_t>(d.channel - 1)].scaling;
        live.Samples(d.channel, result.samples[static_cast<size_t>(k)], period, scaling ? scaling->Divisor() : 1, d.values);
        result.samples[static_cast<size_t>(k)] += d.values.size();
        if (edfSlot[static_cast<size_t>(d.channel)] >= 0) {
          edf.Add(static_cast<size_t>(edfSlot[static_cast<size_t>(d.channel)]), d.values);
        }
        if (csv) {
          csv->Add(d.channel, d.values);
        } else {
          out << '+' << d.channel;
          for (int32_t v : d.values) out << ',' << v;
          out << '\n';
          wrote = true;
        }
      }
      if (wrote) {
        clearProgress();
        out.flush();
        if (!out) break;  // nobody reads the data any more: stop as for Ctrl-C
      }
    }
    drainComments();
    if (badLines > reportedBad) {
      clearProgress();
      err << "vyra-host: warning: " << (badLines - reportedBad) << " malformed data line(s) skipped\n";
      reportedBad = badLines;
    }
    if (Clock::now() - lastProgress >= std::chrono::seconds(1)) {
      lastProgress = Clock::now();
      if (m.x().IsFailed(index)) {
        deviceFailed = true;
        break;
      }
      progress(Since(t0));
      showProgress();
    }
  }
  const bool interrupted = Interrupted();
  const bool outputLost = !out;
  const bool stopped = m.Run(index, kStopSampling, 0);
  drainComments();
  progress(Since(t0));
  clearProgress();
  if (o.progress) err << progressText << (interrupted ? " (interrupted)" : "") << "\n";
  if (csv) {
    csv->Finish();
    result.rows = csv->RowsWritten();
    if (!csvFile) {
      err << "vyra-host: writing " << o.csv << " failed\n";
      result.exit = kExitOutput;
    }
  }
  if (edf.IsOpen()) {
    result.edfRecordSeconds = edf.RecordSeconds();
    if (!edf.Close(err)) {
      err << "vyra-host: writing " << edf.Path() << " failed\n";
      result.exit = kExitOutput;
    }
    result.edfRecords = edf.Records();
    result.edfPath = edf.Removed() ? std::string() : edf.Path();
    result.edfBdf = edf.Bdf();
  }
  cycles.Finish();
  live.Stopped(cycles);
  result.cycles = cycles.Rows().size();
  if (result.cycles > 0) {
    result.cycleSummary = cycles.Summary();
    err << "vyra-host: " << result.cycleSummary << "\n";
  }
  if (cyclesFile.is_open() && !cyclesFile) {
    err << "vyra-host: writing " << o.cycles << " failed\n";
    result.exit = kExitOutput;
  }
  // The table's flags explain a failure only while the device is still in it.
  const std::string why = (deviceFailed || !stopped) ? m.LastError(-1) : std::string();
  m.x().CloseAll();  // before checking that the devices gave every interface back
  if (recording->OutstandingReferences() != 0) {
    err << "vyra-host: warning: the plug-in kept " << recording->OutstandingReferences()
        << " reference(s) to the recording after CloseAll\n";
  }
  if (deviceFailed) {
    err << "vyra-host: the device failed while streaming:\n" << Indent(why) << "\n";
    result.exit = kExitDevice;
  } else if (interrupted) {
    result.exit = kExitInterrupted;
  } else if (outputLost) {
    err << "vyra-host: standard output closed; sampling stopped\n";
    result.exit = kExitOutput;
  } else if (!stopped && result.exit == kExitOk) {
    err << "vyra-host: stopping sampling failed:\n" << Indent(why) << "\n";
    result.exit = kExitDevice;
  }
  return result;
}

}  // namespace vyra::host
