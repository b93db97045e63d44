// vyra-host run as a person runs it: a separate process that loads the module by path, against
// the simulated monitor found through a discovery tree of its own.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/biosig_reader.h"
#include "support/live_client.h"
#include "vyra_sim.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A running vyra-host with its standard output and error collected.
class HostProcess {
 public:
  HostProcess(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> all = {VYRA_HOST_PATH};
    if (std::find(args.begin(), args.end(), "--module") == args.end()) {
      all.insert(all.end(), {"--module", VYRA_MODULE_PATH});
    }
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
      std::string s = *e;
      if (s.rfind("VYRA_", 0) != 0) envText.push_back(s);
    }
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, VYRA_HOST_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) throw std::runtime_error("spawn");
  }
  ~HostProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  // Collects output until `done` holds for it, the process ends or the time is up.
  bool ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
      if (poll(fds, 2, static_cast<int>(std::min<long>(left.count(), 100))) < 0) continue;
      bool open = false;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) {
          open = open || fds[i].fd >= 0;
          continue;
        }
        char buf[4096];
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
          open = true;
        }
      }
      if (!open) return done();
    }
    return true;
  }

  // Waits for the exit code, reading output meanwhile; -1 when it did not end in time.
  int Wait(std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
      ReadUntil([] { return false; }, 50ms);
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) break;
      if (std::chrono::steady_clock::now() > end) return -1;
    }
    pid_ = -1;
    ReadUntil([] { return false; }, 100ms);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int sig) { kill(pid_, sig); }

  std::string out, err;

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
};

struct Outcome {
  int exit;
  std::string out, err;
};

Outcome RunHost(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                std::chrono::milliseconds limit = 60s) {
  HostProcess p(args, env);
  int rc = p.Wait(limit);
  return {rc, p.out, p.err};
}

// The cells of a CSV without quoted fields, a trailing empty cell kept.
std::vector<std::vector<std::string>> ReadCsv(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    rows.emplace_back();
    std::istringstream cells(line + ",");
    for (std::string c; std::getline(cells, c, ',');) rows.back().push_back(c);
  }
  return rows;
}

// ThreadSanitizer's runtime starts a helper thread of its own with the first thread created,
// after vyra-host has counted its threads: one extra is that helper, not a thread left running.
std::string WithoutSanitizerThread(std::string err) {
#if defined(__SANITIZE_THREAD__)
  const std::string helper = "vyra-host: warning: 1 thread(s) still running after CloseAll\n";
  if (size_t at = err.find(helper); at != std::string::npos) err.erase(at, helper.size());
#endif
  return err;
}

// The skeleton's placeholder exports answer 0 where the plug-in always gives a message length.
bool ModuleHasExports() {
  void* h = dlopen(VYRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!h) return false;
  auto message = reinterpret_cast<int (*)(int, char*)>(dlsym(h, "GetLastErrorMsg"));
  return message && message(-1, nullptr) > 1;  // left loaded: CloseAll was never needed
}

class HostToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool ready = ModuleHasExports();
    if (!ready) GTEST_SKIP() << "the module's exports are placeholders in this build";
    std::string pattern = (fs::temp_directory_path() / "vyra-host-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A monitor found through its own discovery tree; returns the environment that finds it.
  std::vector<std::string> StartMonitor(vyra::sim::Options o = {}) {
    monitor_ = std::make_unique<vyra::sim::Monitor>(o);
    monitor_->Start();
    vyra::sim::TreePort port;
    port.target = monitor_->SlavePath();
    auto paths = vyra::sim::LayOutDiscoveryTree((dir_ / "tree").string(), {port});
    return {"VYRA_SYSFS_ROOT=" + paths.sysfsRoot, "VYRA_DEV_ROOT=" + paths.devRoot};
  }

  // Monitors side by side, serial numbers 0042, 0043, ... on ttyUSB0, ttyUSB1, ...
  std::vector<std::string> StartMonitors(const std::vector<vyra::sim::Options>& options) {
    for (size_t k = 0; k < options.size(); ++k) {
      monitors_.push_back(std::make_unique<vyra::sim::Monitor>(options[k]));
      monitors_.back()->Start();
      vyra::sim::TreePort port;
      port.tty = "ttyUSB" + std::to_string(k);
      port.serial = "BVLVYRA00" + std::to_string(42 + k);
      port.target = monitors_.back()->SlavePath();
      ports_.push_back(port);
    }
    auto paths = vyra::sim::LayOutDiscoveryTree(Tree(), ports_);
    return {"VYRA_SYSFS_ROOT=" + paths.sysfsRoot, "VYRA_DEV_ROOT=" + paths.devRoot};
  }
  void Unplug(size_t k) {
    monitors_[k]->HangUp();
    vyra::sim::UnplugPort(Tree(), ports_[k]);
  }
  // The same serial number back, on a new terminal.
  void PlugBackIn(size_t k) {
    auto options = monitors_[k]->options();
    monitors_[k] = std::make_unique<vyra::sim::Monitor>(options);
    monitors_[k]->Start();
    ports_[k].target = monitors_[k]->SlavePath();
    vyra::sim::LayOutDiscoveryTree(Tree(), ports_);
  }
  std::string Tree() const { return (dir_ / "tree").string(); }
  std::string Out(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
  std::unique_ptr<vyra::sim::Monitor> monitor_;
  std::vector<std::unique_ptr<vyra::sim::Monitor>> monitors_;
  std::vector<vyra::sim::TreePort> ports_;
};

size_t Count(const std::string& text, const std::string& what, size_t from = 0) {
  size_t n = 0;
  for (size_t at = text.find(what, from); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The comment texts a monitor's first cycles give, in order.
std::vector<std::string> CycleComments(const std::vector<vyra::sim::CycleRecord>& cycles) {
  std::vector<std::string> texts;
  for (const auto& c : cycles) {
    if (c.kind == vyra::sim::CycleKind::kError) {
      texts.push_back("error: failed to calcuate BP values");
    } else {
      texts.push_back("Systolic BP = " + std::to_string(c.systolic) + " mmHg");
      texts.push_back("Diastolic BP = " + std::to_string(c.diastolic) + " mmHg");
    }
  }
  return texts;
}

TEST_F(HostToolTest, BadArgumentsFailWithTheParsersCodeAndSayWhy) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "subcommand is required"},
      {{"stream", "--seconds", "-1"}, "--seconds"},
      {{"stream", "--period", "abc"}, "--period"},
      {{"stream", "--bogus"}, "--bogus"},
      {{"plot"}, "CSV"},
      {{"plot", "/nonexistent/d.csv"}, "/nonexistent/d.csv"},
      {{"--env", "NOEQUALS", "info"}, "NAME=VALUE"},
      {{"stream", "--devices", "all", "--csv", "run.csv"}, "{serial}"},
      {{"stream", "--devices", "0042,0043", "--csv", "run-{serial}.csv", "--edf", "run.edf"}, "{serial}"},
  };
  for (const auto& c : cases) {
    auto r = RunHost(c.args);
    SCOPED_TRACE(r.err);
    EXPECT_GE(r.exit, 100) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message;
  }
}

TEST_F(HostToolTest, AModuleThatCannotBeLoadedIsNamedWithTheLoadersReason) {
  const std::string junk = (dir_ / "junk.vmcdll").string();
  std::ofstream(junk) << "not a library";
  struct Case {
    std::string path;
    std::string message;
  } cases[] = {
      {(dir_ / "missing.vmcdll").string(), "module not found: " + (dir_ / "missing.vmcdll").string()},
      {junk, "module cannot be loaded: " + junk},
  };
  for (const auto& c : cases) {
    auto r = RunHost({"--module", c.path, "info"});
    EXPECT_EQ(r.exit, 3) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// The reason comes from GetLastErrorMsg(-1): the kernel's FTDI driver missing, or no port.
TEST_F(HostToolTest, NoDeviceReportsThePluginsReason) {
  struct Case {
    bool ftdiDriver;
    const char* message;
  } cases[] = {
      {true, "The device cannot be found.\n  Please plug in your device"},
      {false, "The device driver is not installed."},
  };
  for (const auto& c : cases) {
    auto paths = vyra::sim::LayOutDiscoveryTree((dir_ / (c.ftdiDriver ? "a" : "b")).string(), {}, c.ftdiDriver);
    std::vector<std::string> env = {"VYRA_SYSFS_ROOT=" + paths.sysfsRoot, "VYRA_DEV_ROOT=" + paths.devRoot};
    for (const char* command : {"info", "scan"}) {
      auto r = RunHost({command}, env);
      EXPECT_EQ(r.exit, 4) << command << ": " << r.err;
      EXPECT_NE(r.err.find(c.message), std::string::npos) << command << ": " << r.err;
    }
  }
}

TEST_F(HostToolTest, InitialiseFailureShowsTheDevicesMessage) {
  vyra::sim::Options o;
  o.fault = vyra::sim::Fault::kWrongFirmwareLevel;
  auto env = StartMonitor(o);
  auto r = RunHost({"info"}, env);
  EXPECT_EQ(r.exit, 5) << r.err;
  EXPECT_NE(r.err.find("did not initialise"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("wrong firmware"), std::string::npos) << r.err;
}

TEST_F(HostToolTest, CtrlCStopsSamplingAndClosesTheDevice) {
  auto env = StartMonitor();
  const std::string edf = (dir_ / "stopped.edf").string();
  HostProcess p({"stream", "--seconds", "0", "--no-progress", "--edf", edf}, env);
  ASSERT_TRUE(p.ReadUntil([&] { return p.out.find("\n+7,") != std::string::npos; }, 30s)) << p.err;
  const size_t before = monitor_->Commands().size();
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(10s), 130) << p.err;
  // The stop command and the end command both reached the monitor after the signal.
  auto commands = monitor_->Commands();
  std::vector<std::string> after(commands.begin() + static_cast<long>(before), commands.end());
  auto stop = std::find(after.begin(), after.end(), "WN5");
  ASSERT_NE(stop, after.end()) << p.err;
  EXPECT_NE(std::find(stop, after.end(), "X"), after.end());
  EXPECT_EQ(WithoutSanitizerThread(p.err).find("still running"), std::string::npos) << p.err;
  EXPECT_EQ(p.err.find("reference"), std::string::npos) << p.err;
  // Every data line on standard output is whole.
  std::istringstream lines(p.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.rfind('+', 0), 0u) << line;
  }
  // The recording was closed: its header counts its records, and they are whole.
  std::ifstream file(edf, std::ios::binary);
  std::string header(256, '\0');
  ASSERT_TRUE(file.read(header.data(), 256));
  const long records = std::stol(header.substr(236, 8));
  EXPECT_GT(records, 0);
  EXPECT_NE(header.find(" Brinvale_VYRA SN 0042 FW 2.3.7.1 "), std::string::npos) << header;
  VYRA_NEED_SAVE2GDF();
  auto f = vyra::test::ReadWithBiosig(edf, dir_.string());
  EXPECT_EQ(f.records, records);
  EXPECT_EQ(f.rows.size(), static_cast<size_t>(records) * 50u);
}

// The counter channel carries 0, 1, 2, ... modulo its range: every complete row must hold the
// next value in engineering units, so no sample was lost, doubled or mis-scaled. The first cuff
// cycle comes late: its upload puts the waveform channels ahead of the others, and rows of the
// ordinary channels complete only as those catch up.
TEST_F(HostToolTest, CsvHoldsTheMonitorsValuesInEngineeringUnits) {
  vyra::sim::Options o;
  o.cycles.firstDelay = 2500ms;
  o.cycles.interval = 60s;
  auto env = StartMonitor(o);
  const std::string csv = (dir_ / "out.csv").string();
  auto r = RunHost({"stream", "--seconds", "4", "--csv", csv, "--no-progress"}, env);
  ASSERT_EQ(r.exit, 0) << r.err;

  auto profile = vyra::sim::DescribeProfile(o.profile, false);
  std::ifstream in(csv);
  std::string header;
  ASSERT_TRUE(std::getline(in, header));
  EXPECT_EQ(header.rfind("time_s,", 0), 0u);
  EXPECT_NE(header.find("VPR (mmHg)"), std::string::npos) << header;

  const double period = monitor_->GetStats().periodUs / 1e6;
  std::vector<std::vector<double>> rows;
  for (std::string line; std::getline(in, line);) {
    std::vector<double> cells;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, ',');) cells.push_back(f.empty() ? NAN : std::stod(f));
    rows.push_back(cells);
  }
  const size_t column = 1 + static_cast<size_t>(profile.counterChannel);
  size_t complete = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 1 + profile.channels.size() + 2) << "row " << i;
    EXPECT_NEAR(rows[i][0], static_cast<double>(i) * period, 1e-6);
    for (size_t k = 0; k < profile.channels.size(); ++k) {
      double v = rows[i][1 + k];
      if (std::isnan(v)) continue;  // the last rows may lack a waveform sample
      EXPECT_GE(v, std::stod(profile.channels[k].minText)) << "row " << i << " column " << k;
      EXPECT_LE(v, std::stod(profile.channels[k].maxText)) << "row " << i << " column " << k;
    }
    if (std::isnan(rows[i][column])) continue;
    ASSERT_EQ(complete, i) << "a row with the counter after one without";
    ++complete;
    if (i > 0) {
      double expected = std::fmod(rows[i - 1][column] + 1, profile.counterModulus);
      ASSERT_NEAR(rows[i][column], expected, 0.05) << "row " << i;
    }
  }
  ASSERT_GT(complete, 80u);
  EXPECT_LE(rows[complete - 1][column], static_cast<double>(monitor_->GetStats().lastCounter) + 0.05);

  // The first cycle's results are comments with the monitor's numbers.
  auto cycles = monitor_->Cycles();
  ASSERT_FALSE(cycles.empty());
  std::ifstream side(csv + ".comments");
  std::stringstream comments;
  comments << side.rdbuf();
  EXPECT_NE(comments.str().find("Systolic BP = " + std::to_string(cycles[0].systolic) + " mmHg"), std::string::npos)
      << comments.str();
  EXPECT_NE(comments.str().find("Diastolic BP = " + std::to_string(cycles[0].diastolic) + " mmHg"),
            std::string::npos)
      << comments.str();
  EXPECT_NE(r.out.find("Systolic BP"), std::string::npos) << r.out;
}

// A stream traced with VYRA_TRACE (through --env), then the same stream against vyra-sim's
// replay of that trace: the same values, and the same comments at the same samples. The
// replayed host stops by its own clock, so it may stop a few rows early.
TEST_F(HostToolTest, TheSameStreamAgainstItsReplayedTraceGivesTheSameValuesAndComments) {
  vyra::sim::Options o;
  o.cycles.firstDelay = 500ms;
  o.cycles.interval = 1500ms;
  auto env = StartMonitor(o);
  const std::string trace = Out("field.trace");
  auto stream = [&](const std::string& csv, std::vector<std::string> args) {
    args.insert(args.end(), {"stream", "--seconds", "3", "--no-progress", "--csv", csv});
    auto r = RunHost(args, env);
    EXPECT_EQ(r.exit, 0) << r.err;
    return std::pair{ReadCsv(csv), ReadCsv(csv + ".comments")};
  };
  const auto [recorded, recordedComments] = stream(Out("recorded.csv"), {"--env", "VYRA_TRACE=" + trace});
  monitor_->Stop();
  std::ifstream header(trace);
  std::string first;
  std::getline(header, first);
  EXPECT_EQ(first.rfind("// VYRA byte trace of " VYRA_HOST_PATH " (process ", 0), 0u) << first;

  vyra::sim::Replay replay(trace);
  const vyra::sim::TreePort port;
  EXPECT_EQ(replay.Port(), Tree() + "/dev/serial/by-id/" + vyra::sim::ByIdName(port));
  replay.Start();
  vyra::sim::TreePort replayed = port;
  replayed.target = replay.SlavePath();
  vyra::sim::LayOutDiscoveryTree(Tree(), {replayed});
  const auto [again, againComments] = stream(Out("replayed.csv"), {});
  replay.Stop();

  const auto counts = replay.Counts();
  EXPECT_EQ(counts.unanswered, 0u);
  // The host closes so soon after its stop that the stop's echo may come too late for the
  // second half of the stop: that command is then passed over, and nothing else.
  EXPECT_LE(counts.skipped, 1u);
  EXPECT_EQ(counts.answered + counts.skipped, counts.recorded);
  ASSERT_GT(recorded.size(), 100u);
  // Both streams end by the host's clock, and the cuff channels run ahead of the others, so
  // the last rows of either may hold only some values; every value both have is the same,
  // and most rows are whole.
  auto whole = [](const std::vector<std::vector<std::string>>& rows) {
    size_t n = 0;
    while (n < rows.size() && std::find(rows[n].begin(), rows[n].end(), "") == rows[n].end()) ++n;
    return n;
  };
  EXPECT_GE(whole(again) * 3, whole(recorded) * 2);
  for (size_t i = 0; i < std::min(again.size(), recorded.size()); ++i) {
    ASSERT_EQ(again[i].size(), recorded[i].size()) << "row " << i;
    for (size_t j = 0; j < again[i].size(); ++j)
      if (!again[i][j].empty() && !recorded[i][j].empty())
        ASSERT_EQ(again[i][j], recorded[i][j]) << "row " << i << " column " << j;
  }
  ASSERT_GE(recordedComments.size(), 1u + 4u);  // two cycles
  EXPECT_EQ(againComments, recordedComments);
}

// The EDF+ recording read back by BioSig holds the CSV's values and the comments of the same
// run, and the cycle table the monitor's results. The cycles come fast, so the waveform
// channels end far ahead of the others and the recording must pad them.
TEST_F(HostToolTest, EdfAndCycleTableHoldWhatTheCsvAndCommentsHold) {
  VYRA_NEED_SAVE2GDF();
  vyra::sim::Options o;
  o.cycles.firstDelay = 500ms;
  o.cycles.interval = 2000ms;
  o.cycles.plan = {vyra::sim::CycleKind::kNormal, vyra::sim::CycleKind::kError};
  auto env = StartMonitor(o);
  const std::string csv = (dir_ / "run.csv").string(), edf = (dir_ / "run.edf").string(),
                    table = (dir_ / "cycles.csv").string();
  auto r = RunHost({"stream", "--seconds", "6", "--csv", csv, "--edf", edf, "--cycles", table, "--no-progress"}, env);
  ASSERT_EQ(r.exit, 0) << r.err;
  const double period = monitor_->GetStats().periodUs / 1e6;
  auto cells = ReadCsv(csv);
  const std::vector<std::string> titles = cells.front();
  cells.erase(cells.begin());
  const size_t signals = titles.size() - 1, perRecord = static_cast<size_t>(std::lround(1 / period));

  auto f = vyra::test::ReadWithBiosig(edf, dir_.string());
  EXPECT_EQ(f.type, "EDF");
  const auto dims = vyra::test::EdfPhysicalDimensions(edf);
  ASSERT_GE(dims.size(), signals);
  for (size_t k = 0; k < signals; ++k) {
    // "Tail Volume (µL)" is the signal "Tail Volume" in "uL".
    const std::string& title = titles[k + 1];
    const size_t open = title.rfind(" (");
    std::string unit = title.substr(open + 2, title.size() - open - 3);
    if (unit == "\xC2\xB5L") unit = "uL";
    EXPECT_EQ(f.channels[k].label, title.substr(0, open));
    EXPECT_EQ(dims[k], unit);
    EXPECT_NEAR(f.channels[k].rate, 1 / period, 1e-6);
  }
  // Whole records holding every CSV row; past a signal's last sample, its value held.
  ASSERT_GE(f.rows.size(), cells.size());
  EXPECT_LT(f.rows.size(), cells.size() + perRecord);
  EXPECT_EQ(f.rows.size() % perRecord, 0u);
  std::vector<size_t> lengths(signals, 0);
  for (size_t i = 0; i < f.rows.size(); ++i) {
    ASSERT_EQ(f.rows[i].size(), signals);
    for (size_t k = 0; k < signals; ++k) {
      const std::string cell = i < cells.size() ? cells[i][k + 1] : "";
      if (cell.empty()) {
        EXPECT_EQ(f.rows[i][k], f.rows[i - 1][k]) << "sample " << i << " signal " << k;
        continue;
      }
      ASSERT_EQ(lengths[k]++, i) << "signal " << k << " has a gap before sample " << i;
      // BioSig prints six significant digits, more than any of these values has.
      ASSERT_NEAR(f.rows[i][k], std::stod(cell), 1e-9) << "sample " << i << " signal " << k;
    }
  }

  // Every comment is an annotation at its time; one note names the padded signals from where
  // the first of them ends.
  auto annotated = [&](const std::string& text, double seconds) {
    return std::any_of(f.events.begin(), f.events.end(),
                       [&](const auto& e) { return e.text == text && std::abs(e.seconds - seconds) <= period; });
  };
  auto comments = ReadCsv(csv + ".comments");
  comments.erase(comments.begin());
  ASSERT_GE(comments.size(), 4u);
  for (const auto& c : comments) EXPECT_TRUE(annotated(c[3].substr(0, 40), std::stod(c[0]))) << c[3];
  std::string first;
  size_t shortest = f.rows.size();
  for (size_t k = 0; k < signals; ++k) {
    if (lengths[k] == f.rows.size()) continue;
    if (first.empty()) first = titles[k + 1].substr(0, titles[k + 1].rfind(" ("));
    shortest = std::min(shortest, lengths[k]);
  }
  ASSERT_FALSE(first.empty());
  ASSERT_EQ(f.events.size(), comments.size() + 1);
  auto note = std::find_if(f.events.begin(), f.events.end(),
                           [](const auto& e) { return e.text.rfind("padded, no data: ", 0) == 0; });
  ASSERT_NE(note, f.events.end());
  EXPECT_EQ(note->text.rfind("padded, no data: " + first, 0), 0u) << note->text;
  EXPECT_NEAR(note->seconds, static_cast<double>(shortest) * period, period);

  // One row per cycle, in the monitor's numbers at its first comment's time, and their summary.
  auto rows = ReadCsv(table);
  EXPECT_EQ(rows.front(), (std::vector<std::string>{"cycle", "time_s", "systolic_mmHg", "diastolic_mmHg", "error"}));
  rows.erase(rows.begin());
  auto cycles = monitor_->Cycles();
  ASSERT_GE(rows.size(), 2u);
  ASSERT_LE(rows.size(), cycles.size());
  double systolic = 0, diastolic = 0;
  size_t valid = 0, comment = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const bool error = cycles[i].kind == vyra::sim::CycleKind::kError;
    const std::vector<std::string> expected = {
        std::to_string(i + 1), comments[comment][0], error ? "" : std::to_string(cycles[i].systolic),
        error ? "" : std::to_string(cycles[i].diastolic), error ? "error: failed to calcuate BP values" : ""};
    EXPECT_EQ(rows[i], expected);
    comment += error ? 1 : 2;
    if (error) continue;
    ++valid;
    systolic += cycles[i].systolic;
    diastolic += cycles[i].diastolic;
  }
  EXPECT_EQ(comment, comments.size());
  char summary[160];
  std::snprintf(summary, sizeof summary, "vyra-host: cycles: %zu seen, %zu valid, %zu error(s); systolic %.1f",
                rows.size(), valid, rows.size() - valid, systolic / static_cast<double>(valid));
  EXPECT_NE(r.err.find(summary), std::string::npos) << r.err;
  std::snprintf(summary, sizeof summary, "diastolic %.1f", diastolic / static_cast<double>(valid));
  EXPECT_NE(r.err.find(summary), std::string::npos) << r.err;
}

// Ranges a header cannot write as they stand, a sample the device rounds past its own limit and
// a range that needs 24 bits: MNE reads every value exactly as the CSV holds it, from the BDF+
// name the recording was given.
TEST_F(HostToolTest, EdfHoldsEveryValueExactlyAsTheCsvDoes) {
  VYRA_NEED_MNE();
  vyra::sim::Options o;
  // Channels 6 to 8, after the profile's vital signs.
  o.extraChannels = {{"Edge", "V", "0.031234", "-0.031234", "0.012345"},  // limits of 9 characters
                     {"Round", "V", "0.29", "-0.29", "0.29"},             // stored 29, advertised 28
                     {"Wide", "V", "100000", "0", "54321"}};              // needs 24 bits
  auto env = StartMonitor(o);
  const std::string csv = (dir_ / "x.csv").string(), edf = (dir_ / "x.edf").string();
  auto r = RunHost({"stream", "--seconds", "2", "--channels", "6,7,8", "--csv", csv, "--edf", edf, "--no-progress"},
                   env);
  ASSERT_EQ(r.exit, 0) << r.err;
  const std::string bdf = (dir_ / "x.bdf").string();
  EXPECT_FALSE(fs::exists(edf));
  EXPECT_NE(r.err.find("written as " + bdf), std::string::npos) << r.err;
  EXPECT_EQ(WithoutSanitizerThread(r.err).find("warning"), std::string::npos) << r.err;
  auto signals = vyra::test::ReadWithMne(bdf);
  ASSERT_EQ(signals.size(), 3u);
  auto cells = ReadCsv(csv);
  cells.erase(cells.begin());
  ASSERT_GT(cells.size(), 50u);
  for (size_t k = 0; k < 3; ++k) {
    ASSERT_GE(signals[k].values.size(), cells.size());
    for (size_t i = 0; i < cells.size(); ++i) {
      if (cells[i][k + 1].empty()) continue;
      const double v = std::stod(cells[i][k + 1]);
      ASSERT_NEAR(signals[k].values[i], v, 1e-9 * std::max(1.0, std::abs(v))) << signals[k].label << " sample " << i;
    }
  }
  EXPECT_EQ(cells[0][2], "0.29");
}

// A recording that cannot hold what is measured, cannot reach the disk or is cut short before
// sampling ends with exit 7 and leaves no file that readers refuse.
TEST_F(HostToolTest, ARecordingThatCannotBeWrittenWholeFailsAndLeavesNoUnreadableFile) {
  vyra::sim::Options o;
  o.extraChannels = {{"Sat", "u", "3000000000", "3000000000", ""}};  // saturates the stored integers
  auto env = StartMonitor(o);
  const std::string edf = (dir_ / "y.edf").string();
  struct Case {
    std::vector<std::string> args;
    std::string said;
  } cases[] = {
      {{"--edf", edf}, "Sat"},
      {{"--channels", "1,2", "--edf", "/dev/full"}, "/dev/full"},
      {{"--channels", "1,2", "--edf", edf, "--cycles", "/nonexistent/c.csv"}, "/nonexistent/c.csv"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"stream", "--seconds", "2", "--no-progress"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = RunHost(args, env);
    EXPECT_EQ(r.exit, 7) << c.said << ": " << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(edf)) << c.said;
  }
}

TEST_F(HostToolTest, ADeviceRefusesPeriodsAndChannelsItDoesNotHave) {
  auto env = StartMonitor();
  for (auto args : {std::vector<std::string>{"stream", "--period", "12345"},
                    std::vector<std::string>{"stream", "--channels", "1,99"}}) {
    auto r = RunHost(args, env);
    EXPECT_EQ(r.exit, 2) << r.err;
    EXPECT_NE(r.err.find(args[1]), std::string::npos) << r.err;
  }
}

// The port of the live view a vyra-host prints on start; 0 when it did not within the time.
int LivePort(HostProcess& p) {
  const std::string said = "live view at http://127.0.0.1:";
  if (!p.ReadUntil([&] { return p.err.find(said) != std::string::npos && p.err.find("/\n", p.err.find(said)) != std::string::npos; }, 30s)) {
    return 0;
  }
  return std::atoi(p.err.c_str() + p.err.find(said) + said.size());
}

// The events of a live view hold what the CSV and its comments hold, at the same times, while
// hostile and slow clients come: each gets its 4xx or is left behind, and no sample is lost.
TEST_F(HostToolTest, LiveEventsHoldTheCsvWhileHostileClientsComeAndGo) {
  vyra::sim::Options o;
  o.cycles.firstDelay = 800ms;
  o.cycles.interval = 2500ms;
  auto env = StartMonitor(o);
  const std::string csv = (dir_ / "live.csv").string();
  HostProcess p({"stream", "--seconds", "5", "--csv", csv, "--serve", "0", "--no-progress"}, env);
  const int port = LivePort(p);
  ASSERT_GT(port, 0) << p.err;
  vyra::test::EventReader events(port);

  EXPECT_EQ(vyra::test::RawStatus(port, "GET /../../etc/passwd HTTP/1.1\r\nConnection: close\r\n\r\n"), 404);
  EXPECT_EQ(vyra::test::RawStatus(port, "GET / HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'x') + "\r\n\r\n"), 400);
  std::vector<int> held;
  for (int i = 0; i < 200; ++i) held.push_back(vyra::test::Connect(port));
  const int stuck = vyra::test::Connect(port, 4096);
  ASSERT_TRUE(vyra::test::SendAll(stuck, "GET /api/events HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(events.WaitFor("event: samples", 30s)) << p.err;
  std::string devices;
  EXPECT_EQ(vyra::test::RawStatus(port, "GET /api/devices HTTP/1.1\r\nConnection: close\r\n\r\n", &devices), 200);
  EXPECT_NE(devices.find("\"name\":\"VPR\",\"unit\":\"mmHg\""), std::string::npos) << devices;

  ASSERT_EQ(p.Wait(60s), 0) << p.err;
  for (int fd : held) close(fd);
  close(stuck);
  const auto all = events.Finish();

  const double period = monitor_->GetStats().periodUs / 1e6;
  auto rows = ReadCsv(csv);
  rows.erase(rows.begin());
  auto profile = vyra::sim::DescribeProfile(o.profile, false);
  const size_t counter = 1 + static_cast<size_t>(profile.counterChannel);
  for (size_t i = 1; i < rows.size() && !rows[i][counter].empty(); ++i) {
    ASSERT_NEAR(std::stod(rows[i][counter]), std::fmod(std::stod(rows[i - 1][counter]) + 1, profile.counterModulus), 0.05)
        << "a sample lost before row " << i;
  }
  size_t values = 0, comments = 0;
  auto side = ReadCsv(csv + ".comments");
  side.erase(side.begin());
  for (const auto& e : all) {
    if (e.type == "samples") {
      EXPECT_EQ(vyra::test::Field(e.data, "serial"), "0042");
      const size_t column = std::stoul(vyra::test::Field(e.data, "channel"));
      const double t0 = std::stod(vyra::test::Field(e.data, "t0"));
      const size_t row = static_cast<size_t>(std::lround(t0 / period));
      const auto got = vyra::test::Items(vyra::test::Field(e.data, "values"));
      ASSERT_LE(row + got.size(), rows.size()) << e.data;
      EXPECT_NEAR(std::stod(rows[row][0]), t0, period / 2);
      for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], rows[row + i][column]) << "row " << row + i << " column " << column;
      }
      values += got.size();
    } else if (e.type == "comment") {
      const std::string text = vyra::test::Field(e.data, "text");
      const double t = std::stod(vyra::test::Field(e.data, "t"));
      EXPECT_TRUE(std::any_of(side.begin(), side.end(), [&](const auto& c) {
        return c[3] == text && std::abs(std::stod(c[0]) - t) <= period;
      })) << e.data;
      ++comments;
    }
  }
  // The client was there before sampling began: it saw every value and comment.
  size_t cells = 0;
  for (const auto& r : rows) {
    for (size_t k = 1; k < r.size(); ++k) cells += !r[k].empty();
  }
  EXPECT_EQ(values, cells);
  EXPECT_EQ(comments, side.size());
  EXPECT_GE(comments, 2u);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().type + " " + all.back().data, "state {\"serial\":\"0042\",\"state\":\"stopped\"}");
}

// The page of two monitors streamed at once, as a person opens it.
TEST_F(HostToolTest, LivePageInABrowserShowsEveryChannelAMovingChartAndACycleResult) {
  VYRA_NEED_READER(vyra::test::HaveBrowser(), "Chromium, chromedriver and selenium (chromium-driver, python3-selenium)");
  vyra::sim::Options o;
  o.cycles.firstDelay = 1000ms;
  o.cycles.interval = 4000ms;
  auto env = StartMonitors({o, o});
  // The channel names as the plug-in gives them, from the device table `info` prints.
  auto info = RunHost({"info"}, env);
  ASSERT_EQ(info.exit, 0) << info.err;
  std::string names;
  std::istringstream table(info.out.substr(info.out.find("\nch ") + 1));
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line) && !line.empty()) {
    const size_t name = line.find_first_not_of(' ', line.find(' '));
    names += (names.empty() ? "" : ",") + line.substr(name, line.find("  ", name) - name);
  }
  HostProcess p({"stream", "--devices", "all", "--seconds", "0", "--serve", "0", "--no-progress", "--csv",
                 Out("b-{serial}.csv")},
                env);
  const int port = LivePort(p);
  ASSERT_GT(port, 0) << p.err;
  const std::string page = "http://127.0.0.1:" + std::to_string(port) + "/";
  EXPECT_EQ(vyra::test::RunPageCheck(page, names, 2, 4.0 + 2.0), 0);
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(20s), 130) << p.err;
}

// Three monitors: results, errors only, no cycles; each with a steady channel of its own value.
// Every file holds its own monitor's values and comments and nothing of the others'.
TEST_F(HostToolTest, ThreeMonitorsAtOnceEachToItsOwnFiles) {
  std::vector<vyra::sim::Options> options(3);
  for (size_t k = 0; k < options.size(); ++k) {
    options[k].cycles.firstDelay = 500ms;
    options[k].cycles.interval = 1500ms;
    options[k].extraChannels = {{"Tag" + std::string(1, char('A' + k)), "V", std::to_string(20 * (k + 1)), "0"}};
  }
  options[1].cycles.plan = {vyra::sim::CycleKind::kError, vyra::sim::CycleKind::kError, vyra::sim::CycleKind::kError};
  options[2].cycles.enabled = false;
  auto env = StartMonitors(options);
  auto r = RunHost({"stream", "--devices", "all", "--seconds", "4", "--no-progress", "--csv", Out("run-{serial}.csv"),
                    "--edf", Out("run-{serial}.edf"), "--cycles", Out("cycles-{serial}.csv")},
                   env);
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(WithoutSanitizerThread(r.err).find("warning"), std::string::npos) << r.err;  // threads, references
  const size_t counter = 1 + static_cast<size_t>(monitors_[0]->profile().counterChannel);
  int tagChannel = 0;
  for (size_t k = 0; k < options.size(); ++k) {
    const std::string serial = "00" + std::to_string(42 + k), tag = "Tag" + std::string(1, char('A' + k));
    SCOPED_TRACE(serial);
    auto rows = ReadCsv(Out("run-" + serial + ".csv"));
    ASSERT_GT(rows.size(), 100u);
    const auto& header = rows.front();
    EXPECT_EQ(std::count_if(header.begin(), header.end(), [](const std::string& h) { return h.rfind("Tag", 0) == 0; }),
              1);
    const size_t column = static_cast<size_t>(std::find(header.begin(), header.end(), tag + " (V)") - header.begin());
    ASSERT_LT(column, header.size());
    for (size_t i = 1; i < rows.size(); ++i) {
      const std::string& value = rows[i][column];
      ASSERT_TRUE(value.empty() || value == std::to_string(10 * (k + 1))) << "row " << i << ": " << value;
      if (i > 1 && !rows[i][counter].empty() && !rows[i - 1][counter].empty()) {
        ASSERT_EQ((std::stoi(rows[i - 1][counter]) + 1) % 500, std::stoi(rows[i][counter])) << "row " << i;
      }
    }
    tagChannel = static_cast<int>(column);

    auto comments = ReadCsv(Out("run-" + serial + ".csv.comments"));
    comments.erase(comments.begin());
    const auto expected = CycleComments(monitors_[k]->Cycles());
    ASSERT_LE(comments.size(), expected.size());
    EXPECT_EQ(comments.empty(), k == 2);
    for (size_t i = 0; i < comments.size(); ++i) {
      EXPECT_EQ(comments[i][3], expected[i]);
      EXPECT_NE(r.out.find(serial + " comment at " + comments[i][0].substr(0, comments[i][0].size() - 3)),
                std::string::npos)
          << comments[i][3];
    }
    auto cycles = ReadCsv(Out("cycles-" + serial + ".csv"));
    EXPECT_EQ(cycles.size() - 1, k == 0 ? comments.size() / 2 : comments.size());
    if (k < 2) {
      EXPECT_NE(r.err.find("vyra-host: " + serial + ": cycles: "), std::string::npos) << r.err;
    }
    if (vyra::test::Save2gdf().empty()) continue;
    auto f = vyra::test::ReadWithBiosig(Out("run-" + serial + ".edf"), dir_.string());
    EXPECT_GT(f.records, 0);
    EXPECT_TRUE(std::any_of(f.channels.begin(), f.channels.end(), [&](const auto& c) { return c.label == tag; }));
  }
  EXPECT_EQ(r.err.find("vyra-host: 0044: cycles"), std::string::npos) << r.err;

  // Data lines on standard output carry their monitor's serial number; a list picks monitors.
  r = RunHost({"stream", "--devices", "0042,0044", "--seconds", "1.5", "--no-progress"}, env);
  ASSERT_EQ(r.exit, 0) << r.err;
  std::istringstream lines(r.out);
  size_t tagLines[3] = {};
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.size() > 7 && line.compare(0, 3, "004") == 0 && line.compare(4, 2, " +") == 0, true) << line;
    const size_t k = static_cast<size_t>(line[3] - '2');
    ASSERT_LT(k, 3u) << line;
    const std::string tag = std::to_string(tagChannel) + ",";
    if (line.compare(6, tag.size(), tag) != 0) continue;
    ++tagLines[k];
    const size_t from = 6 + tag.size();
    EXPECT_EQ(line.substr(from, line.find(',', from) - from), std::to_string(10 * (k + 1))) << line;
  }
  EXPECT_GT(tagLines[0], 0u);
  EXPECT_EQ(tagLines[1], 0u);
  EXPECT_GT(tagLines[2], 0u);
}

// A monitor unplugged mid-stream and plugged back in: the other streams on, the lost one's
// files are marked and go on with a second EDF+C file; Ctrl-C during a later gap ends at once.
// The live view tells the loss and the return, and its times go on as the CSV's do.
TEST_F(HostToolTest, AnUnpluggedMonitorIsTakenUpAgainWhileTheOtherStreamsOn) {
  if (vyra::test::Save2gdf().empty()) GTEST_SKIP() << "BioSig's save2gdf (biosig-tools) is not installed";
  std::vector<vyra::sim::Options> options(2);
  for (auto& o : options) {
    o.cycles.firstDelay = 300ms;
    o.cycles.interval = 1200ms;
  }
  auto env = StartMonitors(options);
  HostProcess p({"stream", "--devices", "all", "--reconnect", "--seconds", "0", "--no-progress", "--csv",
                 Out("run-{serial}.csv"), "--edf", Out("run-{serial}.edf"), "--cycles", Out("cycles-{serial}.csv"),
                 "--serve", "0"},
                env);
  const int port = LivePort(p);
  ASSERT_GT(port, 0) << p.err;
  vyra::test::EventReader events(port);
  ASSERT_TRUE(p.ReadUntil([&] { return p.out.find("0043 comment at") != std::string::npos; }, 30s)) << p.err;
  Unplug(1);
  ASSERT_TRUE(p.ReadUntil([&] { return p.err.find("0043 signal lost") != std::string::npos; }, 10s)) << p.err;
  std::this_thread::sleep_for(1500ms);
  PlugBackIn(1);
  ASSERT_TRUE(p.ReadUntil([&] { return p.out.find("signal restored after") != std::string::npos; }, 20s)) << p.err;
  const size_t restored = p.out.find("signal restored after");
  ASSERT_TRUE(p.ReadUntil([&] { return p.out.find("0043 comment at", restored) != std::string::npos; }, 20s)) << p.out;
  Unplug(1);
  ASSERT_TRUE(p.ReadUntil([&] { return Count(p.err, "0043 signal lost") == 2; }, 10s)) << p.err;
  const auto interrupted = std::chrono::steady_clock::now();
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(10s), 130) << p.err;
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 2s);
  EXPECT_NE(p.err.find("vyra-host: 0043: 2 loss(es) of signal"), std::string::npos) << p.err;
  EXPECT_NE(p.err.find("vyra-host: 0042: 0 loss(es) of signal, 0.0 s lost"), std::string::npos) << p.err;
  EXPECT_EQ(p.err.find("reference"), std::string::npos) << p.err;
  const auto live = events.Finish();

  // The lost one: marks at the loss and the return in the comments and the cycle table.
  auto comments = ReadCsv(Out("run-0043.csv.comments"));
  std::vector<double> lost, back;
  for (const auto& c : comments) {
    if (c[3] == "signal lost") lost.push_back(std::stod(c[0]));
    if (c[3].rfind("signal restored after ", 0) == 0) back.push_back(std::stod(c[0]));
  }
  ASSERT_EQ(lost.size(), 2u);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_GT(back[0] - lost[0], 1.4);
  EXPECT_GT(lost[1], back[0]);
  auto table = ReadCsv(Out("cycles-0043.csv"));
  EXPECT_EQ(std::count_if(table.begin(), table.end(), [](auto& row) { return row[0].empty() && row[4] == "signal lost"; }),
            2);
  // Its CSV goes on in the same file, the gap in its time column; the other's has none. (The
  // waveform channels' bursts run on past the loss: the counter's rows show the gap.)
  const size_t counter = 1 + static_cast<size_t>(monitors_[0]->profile().counterChannel);
  for (const std::string& serial : {std::string("0042"), std::string("0043")}) {
    auto rows = ReadCsv(Out("run-" + serial + ".csv"));
    double widest = 0, previous = -1;
    for (size_t i = 1; i < rows.size(); ++i) {
      if (rows[i][counter].empty()) continue;
      if (previous >= 0) widest = std::max(widest, std::stod(rows[i][0]) - previous);
      previous = std::stod(rows[i][0]);
    }
    if (serial == "0042") {
      EXPECT_NEAR(widest, 0.02, 1e-6);
    } else {
      EXPECT_NEAR(widest, back[0] - lost[0], 0.5);
    }
  }
  std::vector<std::string> states;
  double resumed = -1;
  for (const auto& e : live) {
    if (vyra::test::Field(e.data, "serial") != "0043") continue;
    if (e.type == "state") states.push_back(vyra::test::Field(e.data, "state"));
    if (e.type == "samples" && resumed < 0 && vyra::test::Field(e.data, "channel") == std::to_string(counter)) {
      const double t0 = std::stod(vyra::test::Field(e.data, "t0"));
      if (t0 > lost[0]) resumed = t0;
    }
  }
  EXPECT_EQ(states, (std::vector<std::string>{"streaming", "lost", "restored", "lost", "stopped"}));
  EXPECT_NEAR(resumed, back[0], 1e-6);
  // Two EDF+C files, both whole: the second begins with the return.
  const std::vector<std::string> files = {Out("run-0043.edf"), Out("run-0043-2.edf")};
  EXPECT_FALSE(fs::exists(Out("run-0043-3.edf")));
  for (size_t k = 0; k < files.size(); ++k) {
    auto f = vyra::test::ReadWithBiosig(files[k], dir_.string());
    EXPECT_EQ(f.type, "EDF") << files[k];
    EXPECT_GT(f.records, 0) << files[k];
    ASSERT_FALSE(f.events.empty()) << files[k];
    if (k == 1) {
      auto first = std::min_element(f.events.begin(), f.events.end(),
                                    [](auto& a, auto& b) { return a.seconds < b.seconds; });
      EXPECT_EQ(first->text.rfind("signal restored after", 0), 0u) << first->text;
    }
    EXPECT_TRUE(std::any_of(f.events.begin(), f.events.end(), [](auto& e) { return e.text == "signal lost"; }));
  }
}

// --split with the process killed: every closed file reads whole, and the CSV and comments
// hold what came up to a second before the kill.
TEST_F(HostToolTest, SplitRecordingsSurviveAKill) {
  if (vyra::test::Save2gdf().empty()) GTEST_SKIP() << "BioSig's save2gdf (biosig-tools) is not installed";
  vyra::sim::Options o;
  o.cycles.firstDelay = 300ms;
  o.cycles.interval = 1000ms;
  auto env = StartMonitor(o);
  const std::string csv = Out("run.csv"), edf = Out("run.edf");
  HostProcess p({"stream", "--seconds", "0", "--split", "2", "--channels", "1,2,3,4,5", "--no-progress", "--csv", csv,
                 "--edf", edf, "--cycles", Out("cycles.csv")},
                env);
  ASSERT_TRUE(p.ReadUntil([&] { return fs::exists(Out("run-3.edf")); }, 30s)) << p.err;
  const size_t ended = monitor_->Cycles().size();
  ASSERT_TRUE(monitor_->WaitForCycles(ended, 5s));
  std::this_thread::sleep_for(1200ms);
  const auto finished = monitor_->Cycles();
  const uint64_t sent = monitor_->GetStats().sampleLines;
  p.Signal(SIGKILL);
  p.Wait(5s);

  for (const std::string& file : {edf, Out("run-2.edf")}) {
    auto f = vyra::test::ReadWithBiosig(file, dir_.string());
    EXPECT_EQ(f.records, 2) << file;
    EXPECT_EQ(f.rows.size(), 100u) << file;
  }
  auto rows = ReadCsv(csv);
  EXPECT_GE(rows.size() - 1 + 60, sent);  // a second at 50 samples/s, and the lines on their way
  auto comments = ReadCsv(csv + ".comments");
  const auto expected = CycleComments(std::vector<vyra::sim::CycleRecord>(finished.begin(), finished.begin() + static_cast<long>(ended)));
  ASSERT_GE(comments.size() - 1, expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(comments[i + 1][3], expected[i]);
  EXPECT_GE(ReadCsv(Out("cycles.csv")).size() - 1, ended);
}

}  // namespace
