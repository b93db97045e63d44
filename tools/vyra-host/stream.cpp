// vyra-host stream: every chosen device sampled at once, one thread each, each to its own
// files; a failed device looked for again while the others go on.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "edf_recording.h"
#include "host_recording.h"
#include "live_feed.h"
#include "session.h"
#include "session_parts.h"
#include "stream_data.h"

namespace vyra::host {

bool SeveralDevices(const StreamOptions& o) {
  return o.devices.size() > 1 || (o.devices.size() == 1 && o.devices[0] == "all");
}

std::string CheckOutputPaths(const StreamOptions& o) {
  if (!SeveralDevices(o)) return {};
  for (const auto& [option, path] : {std::pair<const char*, const std::string&>{"--csv", o.csv},
                                     {"--edf", o.edf},
                                     {"--cycles", o.cycles}}) {
    if (!path.empty() && path.find(kSerialField) == std::string::npos) {
      return std::string(option) + " " + path + ": with several devices each output path must contain " +
             kSerialField + " (replaced by the device's serial number), e.g. run-" + kSerialField + ".csv";
    }
  }
  return {};
}

std::string ForSerial(const std::string& path, const std::string& serial) {
  std::string s = path;
  const std::string field = kSerialField;
  for (size_t at = s.find(field); at != std::string::npos; at = s.find(field, at + serial.size())) {
    s.replace(at, field.size(), serial);
  }
  return s;
}

std::string NumberedPath(const std::string& path, int number) {
  if (number <= 1) return path;
  const size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1) dot = path.size();
  return path.substr(0, dot) + "-" + std::to_string(number) + path.substr(dot);
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The module's contract: FindDevice and CloseAll overlap no other export call; the others
// may run at once. A waiting FindDevice holds back new calls, but quick ones (ReadLine,
// IsFailed) go on while a slow one (Initialise, or a command that waits for its device, up
// to 16 s) keeps it waiting anyway: the other devices never stall behind a slow start.
class ExportGate {
 public:
  template <class F>
  auto Shared(bool slow, F&& f) {
    {
      std::unique_lock l(m_);
      cv_.wait(l, [&] { return !exclusive_ && (waiting_ == 0 || (!slow && slow_ > 0)); });
      ++shared_;
      slow_ += slow;
    }
    struct Leave {
      ExportGate& g;
      bool slow;
      ~Leave() {
        {
          std::lock_guard l(g.m_);
          --g.shared_;
          g.slow_ -= slow;
        }
        g.cv_.notify_all();
      }
    } leave{*this, slow};
    return f();
  }
  template <class F>
  auto Alone(F&& f) {
    {
      std::unique_lock l(m_);
      ++waiting_;
      cv_.wait(l, [&] { return !exclusive_ && shared_ == 0; });
      --waiting_;
      exclusive_ = true;
    }
    struct Leave {
      ExportGate& g;
      ~Leave() {
        {
          std::lock_guard l(g.m_);
          g.exclusive_ = false;
        }
        g.cv_.notify_all();
      }
    } leave{*this};
    return f();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int shared_ = 0, slow_ = 0, waiting_ = 0;
  bool exclusive_ = false;
};

// An output file whose bytes reach the disk once a second: after a killed process or a power
// cut it holds everything up to the last sync.
struct SyncedFile {
  std::ofstream stream;
  int fd = -1;
  bool dirty = false;
  bool Open(const std::string& path) {
    stream.open(path, std::ios::out | std::ios::trunc);
    if (!stream) return false;
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // fdatasync covers the file, not the descriptor
    return true;
  }
  void Sync() {
    if (!stream.is_open()) return;
    stream.flush();
    if (fd >= 0) ::fdatasync(fd);
  }
  bool Failed() const { return stream.is_open() && !stream; }
  ~SyncedFile() {
    if (fd >= 0) ::close(fd);
  }
};

// EDFlib keeps its open files in one process-wide table without a lock.
std::mutex g_edflib;

// One device's EDF+ files: NAME.edf, then NAME-2.edf, ... at each split and after each gap.
// Every file holds whole records; a split waits for the slowest ordinary channel a moment.
class EdfSeries {
 public:
  void Configure(std::string path, std::vector<EdfSignal> signals, int periodUs, EdfIdentity id, double split) {
    path_ = std::move(path);
    signals_ = std::move(signals);
    periodUs_ = periodUs;
    id_ = std::move(id);
    split_ = split;
  }
  bool Enabled() const { return !path_.empty(); }
  bool IsOpen() const { return edf_ && edf_->IsOpen(); }

  // Opens the next file; its sample 0 is stream time `seconds`.
  bool Open(double seconds, std::ostream& err, std::string& why) {
    std::lock_guard l(g_edflib);
    return OpenNext(seconds, err, why);
  }
  // The wall-clock time of the open file's sample 0.
  void SetStart(std::chrono::system_clock::time_point wall, Clock::time_point steady) {
    std::lock_guard l(g_edflib);
    Stamp(wall, steady);
  }
  void Add(size_t signal, const std::vector<int32_t>& values, std::ostream& err) {
    std::lock_guard l(g_edflib);
    if (!IsOpen()) return;
    if (capacity_ == 0) return edf_->Add(signal, values);
    carry_[signal].insert(carry_[signal].end(), values.begin(), values.end());
    Pump();
    bool full = true;
    for (size_t used : used_) full = full && used == capacity_;
    if (full) Next(err);
  }
  void Annotate(double seconds, std::string_view text) {
    std::lock_guard l(g_edflib);
    if (IsOpen()) edf_->Annotate(seconds - fileStart_, text);
  }
  // Once a second: a split that is due, the laggards padded.
  void Tick(std::ostream& err) {
    std::lock_guard l(g_edflib);
    if (!IsOpen() || capacity_ == 0) return;
    const auto due = steady_ + std::chrono::duration<double>(capacity_ * periodUs_ / 1e6 + kGraceSeconds);
    if (Clock::now() >= due) Next(err);
  }
  // Closes the open file with every sample held for it. False when it could not be written.
  bool Close(std::ostream& err) {
    std::lock_guard l(g_edflib);
    if (!IsOpen()) return !failed_;
    for (size_t k = 0; k < carry_.size(); ++k) {
      if (carry_[k].empty()) continue;
      edf_->Add(k, std::vector<int32_t>(carry_[k].begin(), carry_[k].end()));
      carry_[k].clear();
    }
    return Finish(err);
  }
  const std::vector<std::string>& Files() const { return files_; }  // as written, none removed
  uint64_t Records() const { return records_ + (IsOpen() ? edf_->Records() : 0); }
  double RecordSeconds() const { return recordSeconds_; }
  bool Failed() const { return failed_; }

 private:
  bool OpenNext(double seconds, std::ostream& err, std::string& why) {
    edf_ = std::make_unique<EdfRecording>();
    if (!edf_->Open(NumberedPath(path_, ++number_), signals_, periodUs_, id_, err, why)) return false;
    files_.push_back(edf_->Path());  // NAME.bdf for a 24-bit recording
    fileStart_ = seconds;
    used_.assign(signals_.size(), 0);
    carry_.resize(signals_.size());
    capacity_ = 0;
    if (split_ > 0) {
      const double perRecord = edf_->RecordSeconds();
      capacity_ = static_cast<size_t>(std::max(1.0, std::round(split_ / perRecord))) *
                  static_cast<size_t>(edf_->SamplesPerRecord());
    }
    return true;
  }
  void Stamp(std::chrono::system_clock::time_point wall, Clock::time_point steady) {
    wall_ = wall;
    steady_ = steady;
    if (edf_) edf_->SetStart(wall);
  }
  static constexpr double kGraceSeconds = 0.5;  // the data of a split's last moment on its way

  void Pump() {
    for (size_t k = 0; k < carry_.size(); ++k) {
      const size_t take = std::min(carry_[k].size(), capacity_ - used_[k]);
      if (take == 0) continue;
      edf_->Add(k, std::vector<int32_t>(carry_[k].begin(), carry_[k].begin() + static_cast<long>(take)));
      carry_[k].erase(carry_[k].begin(), carry_[k].begin() + static_cast<long>(take));
      used_[k] += take;
    }
  }
  bool Finish(std::ostream& err) {
    recordSeconds_ = edf_->RecordSeconds();
    if (!edf_->Close(err)) {
      err << "vyra-host: writing " << edf_->Path() << " failed\n";
      failed_ = true;
    }
    if (edf_->Removed()) files_.pop_back();  // no sample: no file rather than an unreadable one
    records_ += edf_->Records();
    return !failed_;
  }
  void Next(std::ostream& err) {
    const double length = static_cast<double>(capacity_) * periodUs_ / 1e6;
    Finish(err);
    std::string why;
    if (!OpenNext(fileStart_ + length, err, why)) {
      err << "vyra-host: --edf: " << why << "\n";
      failed_ = true;
      edf_.reset();
      return;
    }
    const auto step = std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(length));
    Stamp(wall_ + step, steady_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(length)));
    Pump();
  }

  std::string path_;
  std::vector<EdfSignal> signals_;
  int periodUs_ = 0;
  EdfIdentity id_;
  double split_ = 0;
  std::unique_ptr<EdfRecording> edf_;
  int number_ = 0;
  std::vector<std::string> files_;
  double fileStart_ = 0;
  std::chrono::system_clock::time_point wall_;
  Clock::time_point steady_;
  size_t capacity_ = 0;  // samples per signal in one file; 0 without --split
  std::vector<size_t> used_;
  std::vector<std::deque<int32_t>> carry_;  // past the open file's end
  uint64_t records_ = 0;
  double recordSeconds_ = 0;
  bool failed_ = false;
};

enum class Phase : int { kStarting, kUnwanted, kNotStarted, kStreaming, kLost, kEnded };

struct Device {
  int index = -1;
  int32_t uid = 0;
  std::string serial, prefix;  // prefix: "<serial> " on shared output, with several devices
  std::vector<ChannelInfo> channels;
  std::vector<int> selected, slot, edfSlot;
  int32_t periodUs = 0;
  double period = 0;
  std::unique_ptr<HostRecording> recording;  // every module entry of this device posts here
  SyncedFile csvFile, commentsFile, cyclesFile;
  std::optional<CsvWriter> csv;
  std::unique_ptr<CycleTable> cycles;
  std::ostringstream notes;  // the recording writers' warnings, for the console; outlives edf
  EdfSeries edf;
  DeviceResult result;
  LiveFeed live{nullptr};
  std::vector<uint64_t> segmentSamples;  // per selected channel, since the stream (re)started

  std::atomic<Phase> phase{Phase::kStarting};
  int exit = kExitOk;          // why it did not start, or what went wrong at its end
  bool failed = false;         // failed while streaming, without --reconnect
  bool stopFailed = false;
  Clock::time_point t0, lostSince, segmentSteady;
  std::atomic<double> lostAt{0};  // stream time of the last loss, for the progress line
  double segmentStart = 0;     // stream time of the segment's sample 0
  double lastData = 0;         // stream time of the last data line
  std::atomic<uint64_t> least{0}, most{0};
  std::atomic<size_t> comments{0};
  uint64_t badLines = 0, reportedBad = 0;
  std::thread thread;
};

class Streamer {
 public:
  Streamer(Module& m, const std::string& ids, const StreamOptions& o, std::ostream& out, std::ostream& err)
      : m_(m), ids_(ids), o_(o), out_(out), err_(err), several_(SeveralDevices(o)) {
    liveProgress_ = o.progress && &err == &std::cerr && isatty(STDERR_FILENO);
  }

  StreamResult Run() {
    StreamResult result;
    CloseGuard guard{m_, ThreadCount() - (o_.live ? o_.live->Threads() : 0), err_, o_.live};
    std::vector<int> found;
    const bool first = o_.devices.empty();
    gate_.Alone([&] {
      for (int k = 0; k < 256; ++k) {
        int index = -1;
        if (!m_.x().FindDevice(&index, ids_.c_str())) {
          walkAtStart_ = true;
          break;
        }
        found.push_back(index);
        if (first) break;
      }
    });
    if (found.empty()) {
      err_ << "vyra-host: no device found (identifiers \"" << ids_ << "\"):\n" << Indent(m_.LastError(-1)) << "\n";
      result.exit = kExitNoDevice;
      return result;
    }
    for (int index : found) {
      devices_.push_back(std::make_unique<Device>());
      devices_.back()->index = index;
    }
    for (auto& d : devices_) d->thread = std::thread([this, &d = *d] { DeviceThread(d); });

    result.exit = AwaitStarts();
    if (result.exit == kExitOk) result.exit = Watch();
    StopAll();
    for (auto& d : devices_) d->thread.join();
    return Finish(result.exit);
  }

 private:
  // --- the threads -----------------------------------------------------------------------

  void DeviceThread(Device& d) {
    const int rc = Start(d);
    if (rc != kExitOk) {
      d.exit = rc;
      d.phase.store(rc < 0 ? Phase::kUnwanted : Phase::kNotStarted);
      WakeWaiter();
      return;
    }
    d.phase.store(Phase::kStreaming);
    WakeWaiter();
    std::vector<char> buffer(4096);
    std::vector<DataLine> lines;
    auto lastTick = Clock::now();
    while (!stopping_.load()) {
      if (d.phase.load() == Phase::kLost) {
        AwaitReturn(d);
        lastTick = Clock::now();
        continue;
      }
      const bool got = gate_.Shared(false, [&] {
        return m_.x().ReadLine(d.index, buffer.data(), static_cast<int>(buffer.size()), 100) != 0;
      });
      if (got) {
        buffer.back() = '\0';
        lines.clear();
        ParseDataBuffer(std::string_view(buffer.data()), lines, d.badLines);
        Deliver(d, lines);
      }
      DrainComments(d);
      FlushNotes(d);
      if (d.badLines > d.reportedBad) {
        Say([&](std::ostream& err) {
          err << "vyra-host: " << d.prefix << "warning: " << (d.badLines - d.reportedBad)
              << " malformed data line(s) skipped\n";
        });
        d.reportedBad = d.badLines;
      }
      if (Clock::now() - lastTick < 1s) continue;
      lastTick = Clock::now();
      SyncFiles(d);
      d.edf.Tick(d.notes);
      if (gate_.Shared(false, [&] { return m_.x().IsFailed(d.index) != 0; })) {
        if (!o_.reconnect) {
          d.failed = true;
          StopAll();
          break;
        }
        Lose(d);
      }
    }
    End(d);
    FlushNotes(d);
    d.phase.store(Phase::kEnded);
  }

  // Initialise, channels, files, sampling. 0 when streaming, -1 for a device not chosen,
  // otherwise the exit code.
  int Start(Device& d) {
    std::ostringstream why;
    const int rc = gate_.Shared(true, [&]() -> int {
      if (!m_.x().Initialise(d.index)) {
        std::string own = m_.LastError(d.index);
        why << "vyra-host: device " << d.index << " did not initialise:\n";
        if (!own.empty()) why << Indent(own) << "\n";
        why << Indent(m_.LastError(-1)) << "\n";
        return kExitInitialise;
      }
      m_.Text(d.index, kSerialNumber, 0, d.serial);
      d.result.serial = d.serial;
      m_.x().GetUniqueID(d.index, &d.uid);
      if (!o_.devices.empty() && o_.devices[0] != "all" &&
          std::find(o_.devices.begin(), o_.devices.end(), d.serial) == o_.devices.end()) {
        return -1;
      }
      d.prefix = several_ ? (d.serial.empty() ? "device " + std::to_string(d.index) : d.serial) + " " : "";
      if (int r = ReadChannels(m_, d.index, d.channels, why)) return r;
      return Configure(d, why);
    });
    if (rc != kExitOk) {
      Say([&](std::ostream& err) { err << why.str(); });
      return rc;
    }
    const int opened = OpenFiles(d);
    FlushNotes(d);
    if (opened != kExitOk) return opened;
    const bool started = gate_.Shared(true, [&] { return m_.Run(d.index, kStartSampling, 0); });
    if (!started) {
      Say([&](std::ostream& err) { CommandFailed(m_, "starting sampling", err); });
      return kExitDevice;
    }
    d.t0 = d.segmentSteady = Clock::now();
    d.edf.SetStart(std::chrono::system_clock::now(), d.t0);
    return kExitOk;
  }

  int Configure(Device& d, std::ostream& why) {
    d.selected = o_.channels;
    if (d.selected.empty()) {
      for (const auto& c : d.channels) d.selected.push_back(c.number);
    }
    for (int n : d.selected) {
      if (n < 1 || n > static_cast<int>(d.channels.size())) {
        why << "vyra-host: --channels: no channel " << n << " (the device has " << d.channels.size() << ")\n";
        return kExitBadValue;
      }
    }
    if (o_.periodUs > 0 && !m_.Run(d.index, kSetUploadPeriod, o_.periodUs)) {
      why << "vyra-host: --period: the device does not offer a sample period of " << o_.periodUs << " us\n";
      return kExitBadValue;
    }
    if (!m_.Number(d.index, kUploadPeriod, 0, d.periodUs)) return CommandFailed(m_, "reading the sample period", why);
    d.period = d.periodUs > 0 ? d.periodUs / 1e6 : 0.0;
    std::vector<std::string> titles;
    for (const auto& c : d.channels) titles.push_back(c.name);
    d.recording = std::make_unique<HostRecording>(titles, d.period > 0 ? d.period : 1.0);
    m_.x().SetControllingProxy(d.index, d.recording->Proxy());

    d.slot.assign(d.channels.size() + 1, -1);
    for (size_t k = 0; k < d.selected.size(); ++k) d.slot[static_cast<size_t>(d.selected[k])] = static_cast<int>(k);
    d.result.samples.assign(d.selected.size(), 0);
    d.segmentSamples.assign(d.selected.size(), 0);
    Describe(d);
    d.edfSlot.assign(d.channels.size() + 1, -1);
    if (o_.edf.empty()) return kExitOk;
    std::vector<EdfSignal> signals;
    for (int n : d.selected) {
      if (d.edfSlot[static_cast<size_t>(n)] >= 0 || !m_.Run(d.index, kChannelEnabled, n)) continue;
      const auto& c = d.channels[static_cast<size_t>(n - 1)];
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
      d.edfSlot[static_cast<size_t>(n)] = static_cast<int>(signals.size());
      signals.push_back(std::move(s));
    }
    EdfIdentity id;
    m_.Text(d.index, kDeviceName, 0, id.device);
    id.serial = d.serial;
    m_.Text(d.index, kFirmware, 0, id.firmware);
    d.edf.Configure(ForSerial(o_.edf, d.serial), std::move(signals), d.periodUs, std::move(id), o_.splitSeconds);
    return kExitOk;
  }

  void Describe(Device& d) {
    d.live = LiveFeed(o_.live);
    if (!d.live) return;
    LiveDevice l;
    l.serial = d.serial.empty() ? "device " + std::to_string(d.index) : d.serial;
    m_.Text(d.index, kDeviceName, 0, l.name);
    m_.Text(d.index, kFirmware, 0, l.firmware);
    for (int n : d.selected) {
      const auto& c = d.channels[static_cast<size_t>(n - 1)];
      l.channels.push_back({n, c.name, c.scaling ? c.scaling->unit : "", c.scaling ? c.scaling->Min() : INT16_MIN,
                            c.scaling ? c.scaling->Max() : INT16_MAX, d.periodUs, c.scaling ? c.scaling->exponent : 0});
    }
    d.live.Describe(l);
  }

  int OpenFiles(Device& d) {
    auto cannot = [&](const std::string& path) {
      Say([&](std::ostream& err) { err << "vyra-host: cannot write " << path << "\n"; });
      return kExitOutput;
    };
    if (!o_.csv.empty()) {
      d.result.csvPath = ForSerial(o_.csv, d.serial);
      d.result.commentsPath = d.result.csvPath + ".comments";
      if (!d.csvFile.Open(d.result.csvPath)) return cannot(d.result.csvPath);
      if (!d.commentsFile.Open(d.result.commentsPath)) return cannot(d.result.commentsPath);
      std::vector<CsvWriter::Column> columns;
      for (int n : d.selected) {
        const auto& c = d.channels[static_cast<size_t>(n - 1)];
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
      d.csv.emplace(d.csvFile.stream, std::move(columns), d.period);
      d.csv->WriteHeader();
      WriteCommentsHeader(d.commentsFile.stream);
    }
    if (d.edf.Enabled()) {
      std::string why;
      if (!d.edf.Open(0, d.notes, why)) {
        Say([&](std::ostream& err) { err << "vyra-host: --edf: " << why << "\n"; });
        return kExitOutput;
      }
    }
    d.cycles = std::make_unique<CycleTable>(o_.cycles.empty() ? nullptr : &d.cyclesFile.stream);
    if (!o_.cycles.empty()) {
      d.result.cyclesPath = ForSerial(o_.cycles, d.serial);
      if (!d.cyclesFile.Open(d.result.cyclesPath)) return cannot(d.result.cyclesPath);
      d.cycles->WriteHeader();
    }
    return kExitOk;
  }

  void Deliver(Device& d, const std::vector<DataLine>& lines) {
    std::string text;
    for (const DataLine& line : lines) {
      const int k = line.channel < static_cast<int>(d.slot.size()) ? d.slot[static_cast<size_t>(line.channel)] : -1;
      if (k < 0) continue;
      d.result.samples[static_cast<size_t>(k)] += line.values.size();
      const auto& scaling = d.channels[static_cast<size_t>(line.channel - 1)].scaling;
      uint64_t& segment = d.segmentSamples[static_cast<size_t>(k)];
      d.live.Samples(line.channel, d.segmentStart + static_cast<double>(segment) * d.period, d.period,
                     scaling ? scaling->Divisor() : 1, line.values);
      segment += line.values.size();
      if (d.edfSlot[static_cast<size_t>(line.channel)] >= 0) {
        d.edf.Add(static_cast<size_t>(d.edfSlot[static_cast<size_t>(line.channel)]), line.values, d.notes);
      }
      if (d.csv) {
        d.csv->Add(line.channel, line.values);
        continue;
      }
      text += d.prefix;
      text += '+';
      text += std::to_string(line.channel);
      for (int32_t v : line.values) {
        text += ',';
        text += std::to_string(v);
      }
      text += '\n';
    }
    if (lines.empty()) return;
    d.lastData = Since(d.t0);
    auto [least, most] = std::minmax_element(d.result.samples.begin(), d.result.samples.end());
    if (least != d.result.samples.end()) {
      d.least.store(*least);
      d.most.store(*most);
    }
    if (text.empty()) return;
    std::lock_guard l(console_);
    ClearProgress();
    out_ << text << std::flush;
    if (!out_ && !outputLost_.exchange(true)) StopAll();  // nobody reads the data any more
  }

  void DrainComments(Device& d) {
    for (Comment c : d.recording->TakeComments()) {
      c.seconds += d.segmentStart;
      Record(d, c, true);
    }
  }

  // A comment in every place it belongs: the console, the comments file, the EDF+ file and
  // the cycle table.
  void Record(Device& d, const Comment& c, bool fromDevice) {
    d.comments.fetch_add(1);
    ++d.result.comments;
    {
      std::lock_guard l(console_);
      ClearProgress();
      (d.csv ? out_ : err_) << (fromDevice ? "" : "vyra-host: ") << d.prefix << "comment at "
                            << FormatNumber(c.seconds, 3) << " s (sample " << c.position << ", channel "
                            << (c.channel >= 0 ? std::to_string(c.channel + 1) : std::string("none"))
                            << "): " << c.text << std::endl;
    }
    if (d.commentsFile.stream.is_open()) WriteComment(d.commentsFile.stream, c);
    d.edf.Annotate(c.seconds, c.text);
    if (fromDevice) d.cycles->Add(c);
    d.live.Comment(c, *d.cycles);
  }

  void SyncFiles(Device& d) {
    d.csvFile.Sync();
    d.commentsFile.Sync();
    d.cyclesFile.Sync();
  }

  // The device failed: its files marked at the last data it gave, its EDF+ file closed.
  void Lose(Device& d) {
    DrainComments(d);
    ++d.result.losses;
    d.lostSince = Clock::now();
    d.lostAt.store(Since(d.t0));
    Comment mark;
    mark.seconds = d.lastData;
    mark.text = "signal lost";
    Record(d, mark, false);
    d.cycles->Mark(d.lastData, mark.text);
    if (d.csv) d.csv->Finish();
    d.edf.Close(d.notes);
    SyncFiles(d);
    Say([&](std::ostream& err) {
      err << "vyra-host: " << d.prefix << "signal lost at " << FormatNumber(d.lastData, 1)
          << " s; looking for serial " << (d.serial.empty() ? "(none)" : d.serial) << " once a second\n";
    });
    d.live.State("lost");
    d.phase.store(Phase::kLost);
  }

  // One look for the lost device a second, until it is back or the stream ends.
  void AwaitReturn(Device& d) {
    {
      std::unique_lock l(stopMutex_);
      stopCv_.wait_for(l, 1s, [&] { return stopping_.load(); });
    }
    if (stopping_.load()) return;
    const int index = LookFor(d);
    if (index >= 0) Restore(d, index);
  }

  // FindDevice for ports that name the serial number, kept when the unique ID (from the
  // device path) is the lost device's. -1 when none is there.
  int LookFor(const Device& d) {
    std::vector<int> found;
    const std::string text = d.serial.empty() ? ids_ : d.serial;
    gate_.Alone([&] {
      // The walk resumes where the last call stopped: a look that began mid-walk goes round twice.
      for (int round = walkAtStart_ ? 1 : 2; round > 0 && found.empty(); --round) {
        for (int k = 0; k < 256; ++k) {
          int index = -1;
          walkAtStart_ = !m_.x().FindDevice(&index, text.c_str());
          if (walkAtStart_) break;
          found.push_back(index);
        }
      }
    });
    for (int index : found) {
      int32_t uid = 0;
      if (gate_.Shared(true, [&] { return m_.x().GetUniqueID(index, &uid); }) && uid == d.uid) return index;
    }
    return -1;
  }

  // The same device in a new module entry: same serial, same channels, the same period.
  void Restore(Device& d, int index) {
    std::ostringstream why;
    const bool ok = gate_.Shared(true, [&] {
      if (!m_.x().Initialise(index)) return false;
      std::string serial;
      std::vector<ChannelInfo> channels;
      if (!m_.Text(index, kSerialNumber, 0, serial) || serial != d.serial) return false;
      if (ReadChannels(m_, index, channels, why) != kExitOk || channels.size() != d.channels.size()) return false;
      for (size_t k = 0; k < channels.size(); ++k) {
        if (channels[k].name != d.channels[k].name) return false;
      }
      int32_t period = 0;
      if (!m_.Number(index, kUploadPeriod, 0, period)) return false;
      if (period != d.periodUs && !m_.Run(index, kSetUploadPeriod, d.periodUs)) return false;
      m_.x().SetControllingProxy(index, d.recording->Proxy());
      return m_.Run(index, kStartSampling, 0);
    });
    if (!ok) return;  // looked for again in a second, in a new entry
    const double gap = Since(d.lostSince);
    d.result.secondsLost += gap;
    d.index = index;
    d.segmentSteady = Clock::now();
    d.segmentStart = Since(d.t0);
    d.lastData = d.segmentStart;
    if (d.csv) d.csv->Restart(d.segmentStart);
    if (d.edf.Enabled()) {
      std::string error;
      if (d.edf.Open(d.segmentStart, d.notes, error)) {
        d.edf.SetStart(std::chrono::system_clock::now(), d.segmentSteady);
      } else {
        Say([&](std::ostream& err) { err << "vyra-host: --edf: " << error << "\n"; });
      }
    }
    Comment mark;
    mark.seconds = d.segmentStart;
    mark.text = "signal restored after " + FormatNumber(gap, 1) + " s";
    Record(d, mark, false);
    d.cycles->Mark(d.segmentStart, mark.text);
    std::fill(d.segmentSamples.begin(), d.segmentSamples.end(), 0);
    d.live.State("restored");
    d.phase.store(Phase::kStreaming);
  }

  void End(Device& d) {
    if (d.phase.load() == Phase::kStreaming) {
      d.stopFailed = !gate_.Shared(true, [&] { return m_.Run(d.index, kStopSampling, 0); });
      DrainComments(d);
    }
    if (d.csv) {
      d.csv->Finish();
      d.result.rows = d.csv->RowsWritten();
    }
    d.edf.Close(d.notes);
    d.cycles->Finish();
    d.live.Stopped(*d.cycles);
    SyncFiles(d);
    if (d.csvFile.Failed() || d.commentsFile.Failed() || d.cyclesFile.Failed() || d.edf.Failed()) {
      Say([&](std::ostream& err) {
        for (auto [file, path] : {std::pair{&d.csvFile, d.result.csvPath},
                                  {&d.commentsFile, d.result.commentsPath},
                                  {&d.cyclesFile, d.result.cyclesPath}}) {
          if (file->Failed()) err << "vyra-host: writing " << path << " failed\n";
        }
      });
      d.exit = kExitOutput;
    }
    d.result.edfFiles = d.edf.Files();
    d.result.edfRecords = d.edf.Records();
    d.result.edfRecordSeconds = d.edf.RecordSeconds();
    d.result.cycles = d.cycles->Rows().size();
    if (d.result.cycles > 0) d.result.cycleSummary = d.cycles->Summary();
  }

  // --- the main thread -------------------------------------------------------------------

  // Waits until every device has started or dropped out; an exit code when the stream
  // cannot go on.
  int AwaitStarts() {
    for (;;) {
      bool starting = false;
      for (auto& d : devices_) starting = starting || d->phase.load() == Phase::kStarting;
      if (!starting) break;
      if (Interrupted()) return kExitInterrupted;
      Wait(1000);
    }
    for (auto& d : devices_) {
      if (d->phase.load() == Phase::kNotStarted) return d->exit;
    }
    if (!o_.devices.empty() && o_.devices[0] != "all") {
      for (const auto& serial : o_.devices) {
        const bool there = std::any_of(devices_.begin(), devices_.end(), [&](auto& d) {
          return d->phase.load() != Phase::kUnwanted && d->serial == serial;
        });
        if (!there) {
          Say([&](std::ostream& err) {
            err << "vyra-host: --devices: no device with serial number " << serial << " (found:";
            for (auto& d : devices_) err << " " << (d->serial.empty() ? "(none)" : d->serial);
            err << ")\n";
          });
          return kExitNoDevice;
        }
      }
    }
    return kExitOk;
  }

  // Streams until the time is up, Ctrl-C, a failure that ends the stream, or lost output.
  int Watch() {
    const auto t0 = Clock::now();
    auto lastProgress = t0;
    for (;;) {
      if (Interrupted()) return kExitInterrupted;
      if (stopping_.load()) return kExitOk;  // the cause is on its device or the output
      const double elapsed = Since(t0);
      if (o_.seconds > 0 && elapsed >= o_.seconds) return kExitOk;
      double wait = 1.0 - Since(lastProgress);
      if (o_.seconds > 0) wait = std::min(wait, o_.seconds - elapsed);
      Wait(static_cast<int>(std::max(0.0, wait) * 1000) + 1);
      if (Clock::now() - lastProgress >= 1s) {
        lastProgress = Clock::now();
        ShowProgress(false);
      }
    }
  }

  void Wait(int ms) {
    pollfd p{WakeFd(), POLLIN, 0};
    if (p.fd < 0) {
      std::unique_lock l(stopMutex_);
      stopCv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return stopping_.load(); });
      return;
    }
    if (::poll(&p, 1, ms) > 0) {
      char drain[64];
      while (::read(p.fd, drain, sizeof drain) > 0) {
      }
    }
  }

  void StopAll() {
    {
      std::lock_guard l(stopMutex_);
      stopping_.store(true);
    }
    stopCv_.notify_all();
    WakeWaiter();
  }

  std::string ProgressText() {
    std::ostringstream p;
    p << std::fixed << std::setprecision(1);
    bool firstDevice = true;
    for (auto& dp : devices_) {
      Device& d = *dp;
      const Phase phase = d.phase.load();
      if (phase == Phase::kUnwanted || phase == Phase::kStarting || phase == Phase::kNotStarted) continue;
      const double elapsed = Since(d.t0);
      if (firstDevice) p << elapsed << " s: ";
      else p << "; ";
      firstDevice = false;
      p << d.prefix;
      if (phase == Phase::kLost) {
        p << "signal lost for " << elapsed - d.lostAt.load() << " s, ";
      }
      // The waveform channels fill in bursts after each cuff cycle; the slowest channel gives
      // the steady rate.
      const uint64_t least = d.least.load(), most = d.most.load();
      p << least << " samples/channel";
      if (least != most) p << " (up to " << most << ")";
      if (!several_) p << ", " << (elapsed > 0 ? least / elapsed : 0.0) << " samples/s";
      p << ", " << d.comments.load() << " comments";
    }
    return p.str();
  }

  void ShowProgress(bool final) {
    if (!o_.progress) return;
    const std::string text = ProgressText();
    std::lock_guard l(console_);
    if (final) {
      ClearProgress();
      err_ << text << (Interrupted() ? " (interrupted)" : "") << "\n";
    } else if (liveProgress_) {
      err_ << "\r" << text << "\033[K" << std::flush;
      progressShown_ = true;
    } else {
      err_ << text << "\n" << std::flush;
    }
  }

  StreamResult Finish(int exit) {
    StreamResult result;
    result.exit = exit;
    const bool interrupted = Interrupted() || exit == kExitInterrupted;
    bool anyStarted = false;
    for (auto& d : devices_) anyStarted = anyStarted || d->phase.load() == Phase::kEnded;
    if (anyStarted) ShowProgress(true);
    bool failed = false, stopFailed = false, output = false;
    for (auto& dp : devices_) {
      Device& d = *dp;
      if (d.phase.load() != Phase::kEnded) continue;
      const std::string who = several_ ? d.prefix.substr(0, d.prefix.size() - 1) + ": " : "";
      if (!d.result.cycleSummary.empty()) err_ << "vyra-host: " << who << d.result.cycleSummary << "\n";
      if (o_.reconnect) {
        err_ << "vyra-host: " << who << d.result.losses << " loss(es) of signal, " << FormatNumber(d.result.secondsLost, 1)
             << " s lost\n";
      }
      failed = failed || d.failed;
      stopFailed = stopFailed || d.stopFailed;
      output = output || d.exit == kExitOutput;
      result.devices.push_back(d.result);
    }
    // The table's flags explain a failure only while the devices are still in it.
    const std::string why = (failed || stopFailed) ? gate_.Shared(true, [&] { return m_.LastError(-1); }) : std::string();
    gate_.Alone([&] { m_.x().CloseAll(); });  // before checking that the devices gave every interface back
    for (auto& d : devices_) {
      if (d->recording && d->recording->OutstandingReferences() != 0) {
        err_ << "vyra-host: warning: the plug-in kept " << d->recording->OutstandingReferences()
             << " reference(s) to the recording after CloseAll\n";
      }
    }
    if (result.exit != kExitOk && result.exit != kExitInterrupted) return result;
    if (failed) {
      for (auto& d : devices_) {
        if (d->failed) err_ << "vyra-host: " << (several_ ? d->prefix : "") << "the device failed while streaming:\n";
      }
      err_ << Indent(why) << "\n";
      result.exit = kExitDevice;
    } else if (interrupted) {
      result.exit = kExitInterrupted;
    } else if (outputLost_.load()) {
      err_ << "vyra-host: standard output closed; sampling stopped\n";
      result.exit = kExitOutput;
    } else if (stopFailed) {
      err_ << "vyra-host: stopping sampling failed:\n" << Indent(why) << "\n";
      result.exit = kExitDevice;
    } else if (output) {
      result.exit = kExitOutput;
    }
    return result;
  }

  // --- output shared by the threads ------------------------------------------------------

  template <class F>
  void Say(F&& f) {
    std::lock_guard l(console_);
    ClearProgress();
    f(err_);
    err_ << std::flush;
  }
  void ClearProgress() {
    if (liveProgress_ && progressShown_) err_ << "\r\033[K" << std::flush;
    progressShown_ = false;
  }
  // Warnings the recording writers left in the device's notes, written whole.
  void FlushNotes(Device& d) {
    if (d.notes.tellp() <= 0) return;
    const std::string text = d.notes.str();
    d.notes.str({});
    Say([&](std::ostream& err) { err << text; });
  }

  Module& m_;
  const std::string ids_;
  const StreamOptions& o_;
  std::ostream& out_;
  std::ostream& err_;
  const bool several_;
  bool liveProgress_ = false;
  ExportGate gate_;
  bool walkAtStart_ = false;  // under the gate, alone
  std::mutex console_;
  bool progressShown_ = false;  // under console_
  std::mutex stopMutex_;
  std::condition_variable stopCv_;
  std::atomic<bool> stopping_{false}, outputLost_{false};
  std::vector<std::unique_ptr<Device>> devices_;  // outlive CloseAll: the plug-in holds their recordings
};

}  // namespace

StreamResult StreamDevice(Module& m, const std::string& ids, const StreamOptions& o, std::ostream& out,
                          std::ostream& err) {
  Streamer s(m, ids, o, out, err);
  return s.Run();
}

}  // namespace vyra::host
