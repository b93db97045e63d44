// The replay of a byte trace: see Replay in vyra_sim.h.
#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "trace_file.h"
#include "terminal.h"
#include "vyra_sim.h"

namespace vyra::sim {

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
  std::int64_t ms = 0;
  std::string bytes;
};

// One recorded command and what the device sent after it, until the next command.
struct Step {
  std::string command;
  std::int64_t ms = 0;
  std::vector<Chunk> replies;
};

bool NamesPort(const std::string& wanted, const std::string& path) {
  return wanted == path || (path.size() > wanted.size() && path.ends_with(wanted) &&
                            path[path.size() - wanted.size() - 1] == '/');
}

void AddChunk(std::vector<Chunk>& to, std::int64_t ms, std::string bytes) {
  // The trace cuts after each line feed; what one read took goes out as one write again.
  if (!to.empty() && to.back().ms == ms)
    to.back().bytes += bytes;
  else
    to.push_back({ms, std::move(bytes)});
}

}  // namespace

struct Replay::Impl {
  ReplayOptions opt;
  std::string port;
  std::vector<Chunk> opening;  // device bytes before the first command
  std::vector<Step> steps;

  Terminal term;
  std::thread thread;
  std::atomic<bool> stopRequested{false};
  std::atomic<std::size_t> answered{0}, skipped{0}, unanswered{0};
  std::atomic<std::uint64_t> bytesSent{0};

  // Serving thread only.
  std::string input;
  bool openingSent = false;
  std::size_t next = 0;                     // the step the next command should match
  const std::vector<Chunk>* playing = nullptr;
  std::size_t played = 0;                   // chunks of *playing sent
  Clock::time_point anchor;                 // when the command of *playing came
  std::int64_t anchorMs = 0;                // and when it was recorded

  void Load(const std::string& path) {
    std::string current, sent;
    std::vector<std::string> seen;  // every port of the trace, for the error below
    for (const trace::Event& e : trace::Read(path)) {
      if (e.kind == '@') {
        current = trace::Unescape(e.payload);
        if (std::find(seen.begin(), seen.end(), current) == seen.end()) seen.push_back(current);
        if (port.empty() && (opt.port.empty() || NamesPort(opt.port, current))) port = current;
        continue;
      }
      if (current.empty() || current != port) continue;
      if (e.kind == '>') {
        sent += trace::Unescape(e.payload);
        for (std::string& c : TakeCommands(sent)) steps.push_back({std::move(c), e.ms, {}});
      } else if (e.kind == '<') {
        AddChunk(steps.empty() ? opening : steps.back().replies, e.ms, trace::Unescape(e.payload));
      }
    }
    if (port.empty() && seen.empty()) throw std::runtime_error(path + ": no port in the trace");
    if (port.empty()) {
      std::string only;
      for (const std::string& p : seen) only += (only.empty() ? " " : ", ") + p;
      throw std::runtime_error(path + ": no port " + opt.port + " in the trace, only" + only);
    }
  }

  bool Interrupted() const { return stopRequested.load(); }

  void Send(const std::string& bytes) {
    bytesSent += term.WriteAll(bytes, [this] { return Interrupted(); });
  }

  void SendRest() {
    for (; playing && played < playing->size(); ++played) Send((*playing)[played].bytes);
  }

  void Note(const std::string& text) {
    if (opt.onNote) opt.onNote(text);
  }

  void Answer(const std::string& command) {
    if (opt.onCommand) opt.onCommand(command);
    if (!openingSent) {
      openingSent = true;
      for (const Chunk& c : opening) Send(c.bytes);
    }
    auto match = std::find_if(steps.begin() + std::ptrdiff_t(next), steps.end(),
                              [&](const Step& s) { return s.command == command; });
    if (match == steps.end()) {
      ++unanswered;
      Note("not answered: :" + command + " is not in the trace after recorded command " + std::to_string(next));
      return;
    }
    const std::size_t at = std::size_t(match - steps.begin());
    if (at > next) {
      skipped += at - next;
      Note("skipped recorded commands " + std::to_string(next + 1) + " to " + std::to_string(at) + " (first :" +
           steps[next].command + ") to answer :" + command);
    }
    SendRest();
    ++answered;
    next = at + 1;
    playing = &match->replies;
    played = 0;
    anchor = Clock::now();
    anchorMs = match->ms;
  }

  Clock::time_point Due() const {
    if (!playing || played >= playing->size()) return Clock::time_point::max();
    return anchor + std::chrono::milliseconds((*playing)[played].ms - anchorMs);
  }

  void Run() {
    while (!Interrupted()) {
      const int r = term.WaitForInput(Due());
      if (r < 0) break;
      if (r > 0) {
        term.ReadAvailable(input);
        for (const std::string& command : TakeCommands(input)) Answer(command);
      }
      while (!Interrupted() && Due() <= Clock::now()) Send((*playing)[played++].bytes);
    }
  }
};

Replay::Replay(const std::string& tracePath, ReplayOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->opt = std::move(options);
  impl_->Load(tracePath);
}

Replay::~Replay() { Stop(); }

void Replay::Start() {
  Impl& m = *impl_;
  if (m.thread.joinable() || m.term.master >= 0) throw std::logic_error("Replay::Start called twice");
  m.term.Open();
  m.thread = std::thread([&m] { m.Run(); });
}

void Replay::Stop() {
  Impl& m = *impl_;
  m.term.EndServer(m.thread, m.stopRequested);
  m.term.Close();
}

const std::string& Replay::SlavePath() const { return impl_->term.slavePath; }
const std::string& Replay::Port() const { return impl_->port; }

ReplayCounts Replay::Counts() const {
  const Impl& m = *impl_;
  return {m.steps.size(), m.answered.load(), m.skipped.load(), m.unanswered.load(), m.bytesSent.load()};
}

}  // namespace vyra::sim
