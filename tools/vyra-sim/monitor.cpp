#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <optional>
#include <system_error>
#include <thread>

#include "profiles.h"
#include "terminal.h"
#include "vyra_sim.h"

namespace vyra::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == ',')
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string s;
  for (std::size_t i = 0; i < parts.size(); ++i) s += (i ? "," : "") + parts[i];
  return s;
}

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

struct Upload {
  std::size_t record = 0;        // index into cycles
  std::vector<int> fields;       // cuff0, vpr0, cuff1, vpr1, ...
  int next = 0, end = 0;         // value fields still to send: [next, end)
  bool measure = true;
  std::string measurementLine;
  milliseconds gap{0};
  Clock::time_point nextBlock;
};

}  // namespace

struct Monitor::Impl {
  Options opt;
  ProfileDef def;
  std::vector<double> rates;  // seconds; NaN for entries without a period
  Terminal term;
  std::thread thread;
  std::atomic<bool> stopRequested{false}, hangUpRequested{false};
  bool started = false;

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::vector<std::string> commands;
  std::size_t commandsHandled = 0;  // leading entries of commands whose effects are in place
  std::vector<CycleRecord> cycles;
  std::size_t cyclesEnded = 0;
  Stats stats;
  std::string rawQueue;

  // Serving thread only from here on.
  std::string input;
  Clock::time_point busyUntil{};
  bool streaming = false, stalled = false, dead = false;
  Clock::time_point streamStart, nextSample, nextCycle;
  std::uint64_t linesInStream = 0, linesTotal = 0, counter = 0, junkSeed = 12345;
  int periodUs = 20000;
  double streamSeconds = 0;  // time column of the next sample line
  int cycleNumber = 0;
  std::optional<Upload> upload;

  explicit Impl(Options o) : opt(std::move(o)), def(DefineProfile(opt.profile, opt.timeColumn)) {
    for (const std::string& f : Split(opt.uploadRates))
      rates.push_back(f == "EndOfCycle" ? std::nan("") : std::strtod(f.c_str(), nullptr));
    if (opt.initialRate >= 0 && std::size_t(opt.initialRate) < rates.size() &&
        std::isfinite(rates[opt.initialRate]) && rates[opt.initialRate] > 0)
      periodUs = int(std::lround(rates[opt.initialRate] * 1e6));
    for (const ChannelSpec& c : opt.extraChannels) {
      const double high = std::strtod(c.maxText.c_str(), nullptr), low = std::strtod(c.minText.c_str(), nullptr);
      const std::size_t point = c.maxText.find('.');
      const int decimals = point == std::string::npos ? 0 : int(c.maxText.size() - point - 1);
      def.info.channels.push_back(c);
      def.generators.push_back({(low + high) / 2, 0, 1.0, decimals, 0, low, high, c.valueText});
    }
    opt.cycles.valuesPerUpload = std::max(2, (opt.cycles.valuesPerUpload + 1) / 2 * 2);
    opt.cycles.blockValues = std::max(2, (opt.cycles.blockValues + 1) / 2 * 2);
    stats.periodUs = periodUs;
  }

  template <class F>
  void Update(F&& f) {
    {
      std::lock_guard lock(mu);
      f();
    }
    cv.notify_all();
  }

  bool Interrupted() const { return stopRequested.load() || hangUpRequested.load(); }

  // Sleeps until t unless a stop or hang-up is asked for.
  void SleepUntil(Clock::time_point t) {
    term.SleepUntil(t, [this] { return Interrupted(); });
  }

  // Writes bytes to the master; with pacing the last byte leaves when it would on the line.
  void Write(const std::string& bytes) {
    if (dead || term.master < 0 || bytes.empty()) return;
    if (opt.bytesPerSecond > 0) {
      auto now = Clock::now();
      busyUntil = std::max(busyUntil, now) +
                  nanoseconds(std::int64_t(bytes.size()) * 1000000000 / opt.bytesPerSecond);
      SleepUntil(busyUntil);
    }
    const std::size_t done = term.WriteAll(bytes, [this] { return Interrupted(); });
    Update([&] { stats.bytesSent += done; });
  }

  bool Mute() const { return opt.fault == Fault::kSilent || stalled || dead; }
  void Emit(const std::string& line) {
    if (!Mute()) Write(line + "\r\n");
  }

  // --- commands ------------------------------------------------------------

  void ReadInput() {
    term.ReadAvailable(input);
    for (const std::string& text : TakeCommands(input)) {
      Update([&] { commands.push_back(text); });
      if (opt.onCommand) opt.onCommand(text);
      if (opt.fault != Fault::kSilent) Handle(text);
      Update([&] { ++commandsHandled; });
    }
  }

  std::string VersionReply() const {
    if (opt.fault == Fault::kShortVersion) return "V,2,3";
    const bool branded = opt.profile == Profile::kBrandedVyra;
    const char* level = opt.fault == Fault::kWrongFirmwareLevel ? "2" : "1";
    return "V,2,3,7," + std::string(level) + "," + def.info.model + ",0," + (branded ? "BVL" : "DSI");
  }

  void Handle(const std::string& cmd) {
    const ProfileInfo& info = def.info;
    if (cmd == "S" || cmd == "WN5") {
      StopStreaming();
      Emit(cmd);
    } else if (cmd == "V") {
      Emit(VersionReply());
    } else if (cmd == "BvL") {
      Emit("ACK");
    } else if (cmd == "F") {
      std::vector<std::string> params;
      if (info.timeColumn) params.push_back("time");
      for (const ChannelSpec& c : info.channels) {
        std::string p;
        for (char ch : c.name)
          if (ch != ' ') p += char(std::tolower(static_cast<unsigned char>(ch)));
        params.push_back(p);
      }
      Emit("F");
      Emit(Join(params));
      Emit(opt.uploadRates);
    } else if (cmd[0] == 'U') {
      Emit("U");
    } else if (cmd == "I") {
      std::vector<std::string> names, units, maxima, minima;
      if (info.timeColumn) {
        names.push_back("Time");
        units.push_back("s");
        maxima.push_back("86400.000");
        minima.push_back("0");
      }
      for (const ChannelSpec& c : info.channels) {
        names.push_back(c.name);
        units.push_back(c.unit);
        maxima.push_back(c.maxText);
        minima.push_back(c.minText);
      }
      Emit("I");
      Emit(Join(names));
      Emit(Join(units));
      Emit(Join(maxima));
      Emit(Join(minima));
    } else if (cmd == "WI5") {
      Emit("WI5,1," + std::to_string(opt.cycles.valuesPerUpload) + "," +
           std::to_string(opt.cycles.blockValues) + ",2,300,0,0,0,0,0,0");
    } else if (cmd == "B") {
      Emit("B");
      StartStreaming();
    } else if (cmd == "WA5") {
      Emit("WA5");
    } else if (cmd[0] == 'P' && cmd.size() > 1 &&
               std::all_of(cmd.begin() + 1, cmd.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      std::size_t k = std::strtoul(cmd.c_str() + 1, nullptr, 10);
      // An entry without a period (EndOfCycle) or past the list leaves the period alone.
      if (k < rates.size() && std::isfinite(rates[k]) && rates[k] > 0) {
        periodUs = int(std::lround(rates[k] * 1e6));
        if (streaming) nextSample = Clock::now() + microseconds(periodUs);
        Update([&] { stats.periodUs = periodUs; });
      }
    } else if (cmd == "X") {
      StopStreaming();
    }
  }

  // --- streaming -----------------------------------------------------------

  bool CyclesOn() const {
    return opt.cycles.enabled &&
           (opt.profile == Profile::kBrandedVyra || opt.profile == Profile::kPlainVyra);
  }

  void StartStreaming() {
    if (streaming) return;
    streaming = true;
    streamStart = Clock::now();
    nextSample = streamStart + microseconds(periodUs);
    nextCycle = streamStart + opt.cycles.firstDelay;
    linesInStream = 0;
    streamSeconds = 0;
    Update([&] { stats.streaming = true; });
  }

  void EndUpload(bool interrupted) {
    if (!upload) return;
    std::size_t rec = upload->record;
    upload.reset();
    Update([&] {
      cycles[rec].interrupted = interrupted;
      ++cyclesEnded;
      stats.uploadActive = false;
    });
  }

  void StopStreaming() {
    EndUpload(true);
    if (!streaming) return;
    streaming = false;
    Update([&] { stats.streaming = false; });
  }

  void SendSample(Clock::time_point now) {
    const ProfileInfo& info = def.info;
    const double t = streamSeconds;
    streamSeconds += periodUs / 1e6;
    std::vector<std::string> f;
    if (info.timeColumn) f.push_back(Fixed(t, 3));
    std::int64_t counterValue = std::int64_t(counter % std::uint64_t(info.counterModulus));
    for (std::size_t c = 0; c < info.channels.size(); ++c) {
      const Generator& g = def.generators[c];
      if (int(c) == info.counterChannel) {
        f.push_back(std::to_string(counterValue));
      } else if (!g.text.empty()) {
        f.push_back(g.text);
      } else if (g.repeatEvery > 0 && linesInStream > 0 && linesInStream % g.repeatEvery == 0) {
        f.push_back("*");
      } else {
        double v = g.base + g.amplitude * std::sin(2 * std::numbers::pi * (t / g.periodSeconds + 0.37 * c));
        f.push_back(Fixed(std::clamp(v, g.low, g.high), g.decimals));
      }
    }
    Emit(Join(f));
    if (opt.onSampleSent && !Mute()) opt.onSampleSent(counterValue);
    ++counter;
    ++linesInStream;
    ++linesTotal;
    Update([&] {
      stats.sampleLines = linesTotal;
      stats.valuesSent += info.channels.size();
      stats.lastCounter = counterValue;
    });

    if (opt.fault == Fault::kGarbage && opt.garbageEvery > 0 && linesTotal % opt.garbageEvery == 0)
      SendJunk();
    if (opt.fault == Fault::kStall && !stalled && linesTotal >= std::uint64_t(opt.faultAfterLines))
      Update([&] { stalled = true, stats.stalled = true; });
    if (opt.fault == Fault::kHangUp && linesTotal >= std::uint64_t(opt.faultAfterLines)) {
      // Closing the master discards what the host has not read yet; let the last line arrive
      // so the host sees a clean cut after exactly faultAfterLines lines.
      // The pty hands bytes on through a work queue, so give them a moment to reach the queue.
      SleepUntil(Clock::now() + milliseconds(20));
      auto until = Clock::now() + milliseconds(500);
      int queued = 0;
      while (term.keeper >= 0 && ::ioctl(term.keeper, FIONREAD, &queued) == 0 && queued > 0 &&
             Clock::now() < until && !Interrupted())
        SleepUntil(Clock::now() + milliseconds(2));
      DoHangUp();
    }
    (void)now;
  }

  // A line of noise: binary bytes and NULs, no comma (it can never pass for a sample line) and
  // no leading letter that could pass for a reply echo or a waveform/measurement line.
  void SendJunk() {
    static const unsigned char kLead[] = {0x00, 0x01, 0x7F, 0xFF, 0x80, '#', '?', 'q'};
    auto next = [&] { return junkSeed = junkSeed * 6364136223846793005ULL + 1442695040888963407ULL; };
    std::string junk(1, char(kLead[(next() >> 33) % sizeof kLead]));
    int len = 3 + int((next() >> 33) % 18);
    while (int(junk.size()) < len) {
      char c = char((next() >> 33) & 0xFF);
      if (c != '\n' && c != '\r' && c != ',') junk += c;
    }
    Emit(junk);
    Update([&] { ++stats.garbageLines; });
  }

  // --- cuff cycles ---------------------------------------------------------

  void BeginCycle(Clock::time_point now) {
    const CycleOptions& co = opt.cycles;
    ++cycleNumber;
    CycleKind kind = std::size_t(cycleNumber - 1) < co.plan.size() ? co.plan[cycleNumber - 1]
                                                                   : CycleKind::kNormal;
    const int perChannel = co.valuesPerUpload / 2;
    const int systolic = 105 + (cycleNumber * 7) % 30;
    const int diastolic = systolic - 30 - (cycleNumber * 3) % 12;

    // The cuff deflates linearly from 220 to 40 mmHg; the pulse volume rises from the systolic
    // to the diastolic point and stays up.
    std::vector<int> cuff(perChannel);
    for (int j = 0; j < perChannel; ++j)
      cuff[j] = perChannel > 1 ? int(std::lround(220.0 - 180.0 * j / (perChannel - 1))) : 220;
    auto firstAtOrBelow = [&](int p) {
      for (int j = 0; j < perChannel; ++j)
        if (cuff[j] <= p) return j;
      return perChannel - 1;
    };
    const int sysIndex = firstAtOrBelow(systolic), diaIndex = firstAtOrBelow(diastolic);
    Upload up;
    for (int j = 0; j < perChannel; ++j) {
      double rise = j <= sysIndex ? 0.0
                    : j >= diaIndex ? 1.0
                                    : double(j - sysIndex) / std::max(1, diaIndex - sysIndex);
      up.fields.push_back(cuff[j]);
      up.fields.push_back(int(std::lround(10 + 40 * rise + (j % 5))));
    }

    CycleRecord rec;
    rec.number = cycleNumber;
    rec.kind = kind;
    const int total = co.valuesPerUpload;
    const int half = std::max(co.blockValues, total / 2 / co.blockValues * co.blockValues);
    up.end = total;
    if (kind == CycleKind::kCutShort) up.end = std::min(total, half);
    if (kind == CycleKind::kStartedBefore) up.next = half < total ? half : total - 2;
    up.measure = kind != CycleKind::kCutShort;
    up.gap = kind == CycleKind::kHeld ? milliseconds(300) : co.blockInterval;
    up.nextBlock = now;
    if (up.measure) {
      bool ok = kind != CycleKind::kError;
      rec.errorCode = ok ? 0 : co.errorCode;
      rec.systolic = ok ? systolic : 0;
      rec.diastolic = ok ? diastolic : 0;
      rec.systolicIndex = ok ? sysIndex : 0;
      rec.diastolicIndex = ok ? diaIndex : 0;
      const int mean = (rec.systolic + 2 * rec.diastolic) / 3;
      up.measurementLine = "m," + std::to_string(cycleNumber) + ",1," + std::to_string(mean) +
                           ",420,35," + std::to_string(rec.diastolic) + "," +
                           std::to_string(rec.systolic) + "," + std::to_string(mean) + ",0,0,0," +
                           std::to_string(rec.errorCode) + "," + std::to_string(rec.diastolicIndex) +
                           "," + std::to_string(rec.systolicIndex) + "," + std::to_string(perChannel);
    }
    Update([&] {
      up.record = cycles.size();
      cycles.push_back(rec);
      stats.uploadActive = true;
    });
    upload = std::move(up);
    nextCycle = now + co.interval;
  }

  void SendBlock(Clock::time_point now) {
    Upload& up = *upload;
    const int n = std::min(opt.cycles.blockValues, up.end - up.next);
    std::string line = "w5,";
    line += std::to_string(up.next);
    for (int i = 0; i < n; ++i) {
      line += ',';
      line += std::to_string(up.fields[up.next + i]);
    }
    Emit(line);
    up.next += n;
    Update([&] {
      ++stats.waveformLines;
      cycles[up.record].valuesSent += n;
      ++cycles[up.record].blocksSent;
    });
    if (up.next < up.end) {
      up.nextBlock = now + up.gap;
      return;
    }
    if (up.measure) {
      Emit(up.measurementLine);
      Update([&] {
        ++stats.measurementLines;
        cycles[up.record].measurementSent = true;
      });
    }
    EndUpload(false);
  }

  void Tick() {
    if (!streaming || dead) return;
    auto now = Clock::now();
    if (now >= nextSample) {
      nextSample += microseconds(periodUs);
      // After a long stall (host not reading) resume the rhythm instead of bursting.
      if (now - nextSample > microseconds(periodUs) * 5) nextSample = now + microseconds(periodUs);
      SendSample(now);
      if (dead) return;
      if (upload && upload->gap.count() == 0) SendBlock(now);
    }
    now = Clock::now();
    if (upload && upload->gap.count() > 0 && now >= upload->nextBlock) SendBlock(now);
    if (CyclesOn() && !upload && now >= nextCycle) BeginCycle(now);
  }

  Clock::time_point NextDeadline() const {
    if (!streaming || dead) return Clock::time_point::max();
    auto t = nextSample;
    if (upload && upload->gap.count() > 0) t = std::min(t, upload->nextBlock);
    if (CyclesOn() && !upload) t = std::min(t, nextCycle);
    return t;
  }

  void FlushRaw() {
    std::string bytes;
    {
      std::lock_guard lock(mu);
      bytes.swap(rawQueue);
    }
    Write(bytes);
  }

  void DoHangUp() {
    term.CloseMaster();
    dead = true;
    streaming = false;
    upload.reset();
    Update([&] {
      stats.hungUp = true;
      stats.streaming = false;
      stats.uploadActive = false;
    });
  }

  void Run() {
    while (!stopRequested.load() && !dead) {
      if (hangUpRequested.load()) {
        DoHangUp();
        break;
      }
      bool rawPending;
      {
        std::lock_guard lock(mu);
        rawPending = !rawQueue.empty();
      }
      const int input = term.WaitForInput(rawPending ? Clock::now() : NextDeadline());
      if (input < 0) break;
      if (input > 0) ReadInput();
      FlushRaw();
      Tick();
    }
  }
};

Monitor::Monitor(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Monitor::~Monitor() { Stop(); }

void Monitor::Start() {
  Impl& m = *impl_;
  if (m.started) throw std::logic_error("Monitor::Start called twice");
  m.term.Open();
  m.started = true;
  m.thread = std::thread([&m] { m.Run(); });
}

const std::string& Monitor::SlavePath() const { return impl_->term.slavePath; }
const Options& Monitor::options() const { return impl_->opt; }
const ProfileInfo& Monitor::profile() const { return impl_->def.info; }

void Monitor::Stop() {
  Impl& m = *impl_;
  m.term.EndServer(m.thread, m.stopRequested);
  m.term.Close();
}

void Monitor::HangUp() {
  Impl& m = *impl_;
  if (m.thread.joinable()) {
    m.term.EndServer(m.thread, m.hangUpRequested);
  } else if (m.started) {
    m.DoHangUp();
  }
}

void Monitor::SendRaw(std::string bytes) {
  Impl& m = *impl_;
  {
    std::lock_guard lock(m.mu);
    m.rawQueue += bytes;
  }
  if (m.term.wakeWrite >= 0) m.term.Wake();
}

std::vector<std::string> Monitor::Commands() const {
  std::lock_guard lock(impl_->mu);
  return impl_->commands;
}

std::vector<CycleRecord> Monitor::Cycles() const {
  std::lock_guard lock(impl_->mu);
  return impl_->cycles;
}

Stats Monitor::GetStats() const {
  std::lock_guard lock(impl_->mu);
  return impl_->stats;
}

namespace {
template <class Pred>
bool WaitOn(const Monitor::Impl& m, milliseconds timeout, Pred pred) {
  std::unique_lock lock(m.mu);
  return m.cv.wait_for(lock, timeout, pred);
}
}  // namespace

bool Monitor::WaitForCommand(std::string_view text, milliseconds timeout) const {
  const Impl& m = *impl_;
  return WaitOn(m, timeout, [&] {
    auto handledEnd = m.commands.begin() + std::ptrdiff_t(m.commandsHandled);
    return std::find(m.commands.begin(), handledEnd, text) != handledEnd;
  });
}

bool Monitor::WaitForSampleLines(std::uint64_t count, milliseconds timeout) const {
  const Impl& m = *impl_;
  return WaitOn(m, timeout, [&] { return m.stats.sampleLines >= count; });
}

bool Monitor::WaitForCycles(std::size_t finished, milliseconds timeout) const {
  const Impl& m = *impl_;
  return WaitOn(m, timeout, [&] { return m.cyclesEnded >= finished; });
}

bool Monitor::WaitForUploadActive(milliseconds timeout) const {
  const Impl& m = *impl_;
  return WaitOn(m, timeout, [&] { return m.stats.uploadActive; });
}

bool Monitor::WaitForHangUp(milliseconds timeout) const {
  const Impl& m = *impl_;
  return WaitOn(m, timeout, [&] { return m.stats.hungUp; });
}

}  // namespace vyra::sim
