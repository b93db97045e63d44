// Faults injected end to end: the module loaded by path and driven through its exports, the
// simulated monitor on a pseudo-terminal, discovery through a laid-out sysfs tree.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "integration/e2e_fixture.h"
#include "support/proc_entries.h"

namespace e2e {
namespace {

using namespace std::chrono;
using vyra::sim::Fault;
using vyra::sim::Monitor;
using vyra::sim::Options;
using vyra::sim::Profile;
using vyra::test::CountEntries;

// The counter channel of the ventilator profile, host numbering.
const int kCounterChannel = vyra::sim::DescribeProfile(Profile::kVentilator, false).counterChannel + 1;
const int kCounterModulus = vyra::sim::DescribeProfile(Profile::kVentilator, false).counterModulus;

// Appends the counter channel's values from one ReadLine's text.
void CollectCounter(const std::vector<char>& text, std::vector<long>& out) {
  DataBlock block;
  ASSERT_TRUE(ParseDataLines(text.data(), text.size(), block));
  if (block.channel == kCounterChannel) out.insert(out.end(), block.values.begin(), block.values.end());
}

// Every value the previous one plus one (modulo), counting the breaks.
int SequenceBreaks(const std::vector<long>& values) {
  int breaks = 0;
  for (size_t i = 1; i < values.size(); ++i)
    if ((values[i - 1] + 1) % kCounterModulus != values[i]) ++breaks;
  return breaks;
}

// Whether /proc/locks lists a whole-file exclusive flock on the file at `path`.
bool HoldsExclusiveFlock(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    char kind[16] = {}, mode[16] = {}, access[16] = {};
    unsigned devMajor = 0, devMinor = 0;
    unsigned long inode = 0;
    if (std::sscanf(line.c_str(), "%*d: %15s %15s %15s %*d %x:%x:%lu", kind, mode, access, &devMajor, &devMinor,
                    &inode) == 6 &&
        std::string(kind) == "FLOCK" && std::string(access) == "WRITE" && devMajor == major(st.st_dev) &&
        devMinor == minor(st.st_dev) && inode == st.st_ino)
      return true;
  }
  return false;
}

class FaultTest : public E2eTest {
 protected:
  // Starts the simulator, lays out the tree and finds the device; returns its index.
  int FindMonitor(Options o, const std::string& serial = "Z8000042", const char* hostText = "Z800") {
    vyra::sim::TreePort port;
    port.serial = serial;
    monitor_ = &AddMonitor(std::move(o), port);
    LayOut();
    int index = -1;
    EXPECT_EQ(Module().FindDevice(&index, hostText), 1);
    return index;
  }

  // Finds, initialises and starts sampling.
  int Stream(Options o) {
    const int index = FindMonitor(std::move(o));
    EXPECT_EQ(Module().Initialise(index), 1);
    HostRecord r{nullptr, 0, 0, 0, 0, 0};
    EXPECT_EQ(Module().DeviceCommand(index, 37, &r), 1);
    return index;
  }

  static Options Ventilator() {
    Options o;
    o.profile = Profile::kVentilator;
    o.bytesPerSecond = 0;
    o.uploadRates = "0.002,0.02";
    o.initialRate = 0;  // 500 lines/s
    return o;
  }

  // Reads for `ms`, collecting the counter channel; on a loaded machine reads on (up to ten
  // seconds) until at least `atLeast` values have come.
  std::vector<long> ReadFor(int index, int ms, int bufferSize = 4096, size_t atLeast = 0) {
    std::vector<long> values;
    std::vector<char> buffer(bufferSize);
    const auto start = steady_clock::now();
    const auto end = start + milliseconds(ms), latest = start + seconds(10);
    for (auto now = start; now < end || (values.size() < atLeast && now < latest); now = steady_clock::now())
      if (Module().ReadLine(index, buffer.data(), bufferSize, 50)) CollectCounter(buffer, values);
    return values;
  }

  Monitor* monitor_ = nullptr;
};

TEST_F(FaultTest, FarEndHangingUpMidStreamFailsTheDeviceWithoutHanging) {
  Options o = Ventilator();
  o.fault = Fault::kHangUp;
  o.faultAfterLines = 200;
  const int index = Stream(o);
  std::vector<long> values = ReadFor(index, 300);
  ASSERT_TRUE(monitor_->WaitForHangUp(seconds(5)));
  const auto failedBy = steady_clock::now() + seconds(2);
  while (!Module().IsFailed(index) && steady_clock::now() < failedBy) ReadFor(index, 20);
  EXPECT_EQ(Module().IsFailed(index), 1);
  EXPECT_EQ(SequenceBreaks(values), 0);
  // A host still reading gets its time-out, not a hang.
  char buffer[256];
  const auto t0 = steady_clock::now();
  while (Module().ReadLine(index, buffer, sizeof buffer, 100)) {
  }
  EXPECT_LT(steady_clock::now() - t0, seconds(2));
  const auto c0 = steady_clock::now();
  EXPECT_EQ(Module().CloseAll(), 1);
  EXPECT_LT(steady_clock::now() - c0, seconds(1));
}

TEST_F(FaultTest, SilenceMidStreamTimesReadLineOutWithoutFailure) {
  Options o = Ventilator();
  o.fault = Fault::kStall;
  o.faultAfterLines = 100;
  const int index = Stream(o);
  ASSERT_TRUE(monitor_->WaitForSampleLines(100, seconds(5)));
  std::vector<long> values = ReadFor(index, 200);
  EXPECT_EQ(SequenceBreaks(values), 0);
  char buffer[256];
  const auto t0 = steady_clock::now();
  EXPECT_EQ(Module().ReadLine(index, buffer, sizeof buffer, 300), 0);
  EXPECT_GE(steady_clock::now() - t0, milliseconds(290));
  EXPECT_EQ(Module().IsFailed(index), 0);
}

TEST_F(FaultTest, GarbageAndBinaryBytesBetweenLinesAtFullRateLeaveValidLinesFlowing) {
  Options o = Ventilator();
  o.fault = Fault::kGarbage;
  o.garbageEvery = 2;
  const int index = Stream(o);
  std::string junk = "\x00\x01\xff\xfe+,,,\r\x00\x00\x7f";
  junk.assign("\x00\x01\xff\xfe+,,,\r\x00\x00\x7f", 12);
  for (int i = 0; i < 50; ++i) monitor_->SendRaw(junk + "\r\n" + std::string(1, '\0') + "\r\n");
  std::vector<long> values = ReadFor(index, 800, 4096, 101);
  EXPECT_GT(values.size(), 100u);
  // Junk lines never become samples of the counter channel, so its sequence stays whole
  // (junk that parses as a sample line with the right field count would break it).
  EXPECT_EQ(SequenceBreaks(values), 0);
  EXPECT_EQ(Module().IsFailed(index), 0);
}

TEST_F(FaultTest, OverlongLinesAreDroppedAndCuttingResumes) {
  const int index = Stream(Ventilator());
  ReadFor(index, 100);
  monitor_->SendRaw(std::string(9000, '7'));  // no LF for more than the ring holds
  monitor_->SendRaw(std::string(3000, '8') + "\r\n");
  const uint64_t sent = monitor_->GetStats().sampleLines;
  std::vector<long> values = ReadFor(index, 600);
  ASSERT_FALSE(values.empty());
  EXPECT_TRUE(monitor_->WaitForSampleLines(sent + 100, seconds(3)));
  std::vector<long> later = ReadFor(index, 300, 4096, 51);
  EXPECT_GT(later.size(), 50u) << "lines after the overlong one still arrive";
  EXPECT_EQ(SequenceBreaks(later), 0);
  EXPECT_EQ(Module().IsFailed(index), 0);
}

TEST_F(FaultTest, HostTooSlowToDrainDropsNewValuesButKeepsOrder) {
  Options o = Ventilator();
  o.uploadRates = "0.00005,0.02";  // as fast as the simulator writes
  const int index = Stream(o);
  // 32767 values fill a ring; wait well past that without reading.
  ASSERT_TRUE(monitor_->WaitForSampleLines(40000, seconds(20)));
  std::vector<long> values = ReadFor(index, 1500, 65536, 32001);
  ASSERT_GT(values.size(), 32000u);
  // The first 32767 held values are consecutive; the ring dropped what came while it was full.
  std::vector<long> held(values.begin(), values.begin() + 32767);
  EXPECT_EQ(SequenceBreaks(held), 0);
  EXPECT_EQ(held.front(), 0);
  EXPECT_LE(SequenceBreaks(values), 2) << "one gap where the full ring dropped values";
  EXPECT_EQ(Module().IsFailed(index), 0);
}

TEST_F(FaultTest, ReadLineAndFlushFromASecondHostThreadWhileStreaming) {
  const int index = Stream(Ventilator());
  std::atomic<bool> stop{false};
  std::atomic<int> flushes{0};
  std::vector<long> secondValues;
  std::thread second([&] {
    std::vector<char> buffer(512);
    while (!stop) {
      if (Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 5)) CollectCounter(buffer, secondValues);
      Module().FlushReadBuffer(index);
      ++flushes;
    }
  });
  std::vector<long> values = ReadFor(index, 800);
  stop = true;
  second.join();
  EXPECT_GT(flushes.load(), 10);
  for (long v : values) EXPECT_TRUE(v >= 0 && v < kCounterModulus) << v;
  for (long v : secondValues) EXPECT_TRUE(v >= 0 && v < kCounterModulus) << v;
  // Flushing may drop values but never hands one out twice or invents one: the two threads
  // together got at most what the monitor sent (it counts a line just after writing it).
  EXPECT_LE(values.size() + secondValues.size(), monitor_->GetStats().sampleLines + 1);
  EXPECT_EQ(Module().IsFailed(index), 0);
}

long VmRssKb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key)
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
  return 0;
}

TEST_F(FaultTest, FindInitialiseCloseAllCyclesLeaveNoThreadsDescriptorsOrMemory) {
  Options o = Ventilator();
  const int index = FindMonitor(o);
  ASSERT_EQ(Module().Initialise(index), 1);
  Module().CloseAll();
  const int tasks = CountEntries("/proc/self/task"), fds = CountEntries("/proc/self/fd");
  const long rss = VmRssKb();
  // Full handshakes, and many find/close cycles and initialisations that fail at once
  // (port gone).
  const int fullCycles = std::getenv("VYRA_FAULT_FULL_CYCLES") ? std::atoi(std::getenv("VYRA_FAULT_FULL_CYCLES")) : 20;
  for (int i = 0; i < fullCycles; ++i) {
    int idx = -1;
    ASSERT_EQ(Module().FindDevice(&idx, "Z800"), 1);
    EXPECT_EQ(Module().Initialise(idx), 1);
    EXPECT_EQ(Module().CloseAll(), 1);
  }
  for (int i = 0; i < 200; ++i) {
    int idx = -1;
    ASSERT_EQ(Module().FindDevice(&idx, "Z800"), 1) << i;
    EXPECT_EQ(Module().CloseAll(), 1);
  }
  EXPECT_EQ(CountEntries("/proc/self/task"), tasks);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
#if !defined(__SANITIZE_ADDRESS__)
  // Under AddressSanitizer freed blocks stay in its quarantine, so resident memory says
  // nothing there; LeakSanitizer checks for leaks at exit instead.
  EXPECT_LT(VmRssKb() - rss, 8 * 1024) << "resident memory grew by more than 8 MiB";
#endif
}

// A host buffer of `size` bytes whose end touches a page that cannot be written.
class GuardedBuffer {
 public:
  GuardedBuffer() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    base_ = static_cast<char*>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + page_, page_, PROT_NONE);
  }
  ~GuardedBuffer() { munmap(base_, 2 * page_); }
  char* At(size_t size) {
    std::memset(base_, '#', page_);
    return base_ + page_ - size;
  }

 private:
  size_t page_ = 0;
  char* base_ = nullptr;
};

TEST_F(FaultTest, HostBuffersOfEverySizeAreNeverWrittenPast) {
  const int index = Stream(Ventilator());
  GuardedBuffer guard;
  for (int size = 0; size <= 64; ++size) {
    char* b = guard.At(static_cast<size_t>(size));
    if (Module().ReadLine(index, b, size, 20) && size > 0) {
      EXPECT_NE(std::memchr(b, '\0', static_cast<size_t>(size)), nullptr) << size;
    }
    for (int code : {0, 2, 3, 4, 21, 30, 32, 39, 60}) {
      char* t = guard.At(static_cast<size_t>(size));
      HostRecord r{t, static_cast<uint32_t>(size), 0, 1, 0, 0};
      Module().DeviceCommand(index, code, &r);
    }
  }
}

TEST_F(FaultTest, ErrorMessagesFillExactlyTheLengthReported) {
  // A plain monitor found as the branded one: accepted with a warning for the host.
  Options o;
  o.profile = Profile::kPlainVyra;
  const int index = FindMonitor(o, "BVLVYRA0042", "BVLVYRA");
  ASSERT_EQ(Module().Initialise(index), 1);
  GuardedBuffer guard;
  // GetLastErrorMsg takes no size: the host sizes its buffer by the length first reported.
  for (int i : {index, -1}) {
    const int length = Module().GetLastErrorMsg(i, nullptr);
    ASSERT_GT(length, 1) << i;
    char* b = guard.At(static_cast<size_t>(length));
    EXPECT_EQ(Module().GetLastErrorMsg(i, b), length);
    EXPECT_EQ(std::strlen(b), static_cast<size_t>(length - 1)) << b;
  }
}

TEST_F(FaultTest, ASecondOpenerOfABusyPortFailsAtOnceAndTakesNothing) {
  const int first = Stream(Ventilator());
  // The walk reports its end once, then starts again and finds the busy port a second time.
  int second = -1;
  EXPECT_EQ(Module().FindDevice(&second, "Z800"), 0);
  ASSERT_EQ(Module().FindDevice(&second, "Z800"), 1);
  ASSERT_NE(second, first);

  std::future<std::vector<long>> values = std::async(std::launch::async, [&] { return ReadFor(first, 1500, 4096, 301); });
  std::this_thread::sleep_for(milliseconds(300));
  const auto t0 = steady_clock::now();
  EXPECT_EQ(Module().Initialise(second), 0);
  EXPECT_LT(steady_clock::now() - t0, seconds(1));
  EXPECT_EQ(Module().IsFailed(second), 1);
  // The advisory lock also keeps out other programs that ask for it (a privileged one gets
  // past the exclusive-tty flag, so only the lock tells it the port is busy). The kernel's
  // lock table shows it to any user, where only root could open the port to try it.
  EXPECT_TRUE(HoldsExclusiveFlock(DevicePath(ports_[0])));
  const std::vector<long> got = values.get();
  EXPECT_GT(got.size(), 300u);
  EXPECT_EQ(SequenceBreaks(got), 0);
  EXPECT_EQ(Module().IsFailed(first), 0);
}

TEST_F(FaultTest, NoDescriptorForTheStopEventFailsInitialiseAndCloseAllReturns) {
  // One full start and close first, so that what runs only once per process (a sanitizer's
  // first check of a type wants descriptors of its own) is behind the device under test.
  ASSERT_EQ(Module().Initialise(FindMonitor(Ventilator())), 1);
  Module().CloseAll();
  int index = -1;
  ASSERT_EQ(Module().FindDevice(&index, "Z800"), 1);
  // Every free descriptor below the limit is taken but one: the port gets it and the
  // reader's stop event finds none.
  int highest = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
  std::vector<int> fillers;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
    if (fd > highest) {
      close(fd);
      break;
    }
    fillers.push_back(fd);
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highest) + 2;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const auto t0 = steady_clock::now();
  const int result = Module().Initialise(index);
  const auto took = steady_clock::now() - t0;
  setrlimit(RLIMIT_NOFILE, &saved);
  for (int fd : fillers) close(fd);
  EXPECT_EQ(result, 0);
  EXPECT_LT(took, seconds(1));
  EXPECT_EQ(Module().IsFailed(index), 1);

  // A hung CloseAll would hang the whole run: it gets a thread of its own and a bound.
  auto closed = std::make_shared<std::promise<int>>();
  std::future<int> closeResult = closed->get_future();
  std::thread([closed] { closed->set_value(Module().CloseAll()); }).detach();
  if (closeResult.wait_for(seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "CloseAll still waiting after 5 s";
    std::_Exit(1);
  }
  EXPECT_EQ(closeResult.get(), 1);
  // Nothing of the failed attempt holds the port.
  int again = -1;
  ASSERT_EQ(Module().FindDevice(&again, "Z800"), 1);
  EXPECT_EQ(Module().Initialise(again), 1);
}

// A host process that loads the module and ends without CloseAll, in each situation it can
// leave the module in: it must exit with its own status promptly, the monitor told to stop.
class EndWithoutCloseAll : public FaultTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EndWithoutCloseAll, ExitsWithItsOwnStatusWithinASecondAndStopsTheMonitor) {
  const std::string situation = GetParam();
  // "comments": a branded monitor whose first cuff cycle comes at once; the host leaves
  // while the reader is inside its comment call, and its recording dies with its statics.
  const bool comments = situation == "comments";
  Options o = Ventilator();
  if (comments) {
    o = Options();
    o.bytesPerSecond = 0;
    o.cycles.firstDelay = milliseconds(100);
    o.cycles.valuesPerUpload = 40;
  }
  vyra::sim::TreePort port;
  port.serial = comments ? "BVLVYRA0042" : "Z8000042";
  Monitor& monitor = AddMonitor(o, port);
  LayOut(situation != "nodriver");

  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string host = VYRA_EXIT_HOST_PATH, module = VYRA_MODULE_PATH;
  char* args[] = {host.data(), module.data(), const_cast<char*>(situation.c_str()), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, host.c_str(), &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  ASSERT_EQ(spawned, 0);

  std::string said;
  const auto setUpBy = steady_clock::now() + seconds(30);
  while (said.find('\n') == std::string::npos && steady_clock::now() < setUpBy) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char chunk[256];
    const ssize_t n = read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    said.append(chunk, static_cast<size_t>(n));
  }
  close(out[0]);
  const auto leaving = steady_clock::now();
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && steady_clock::now() - leaving < seconds(10))
    std::this_thread::sleep_for(milliseconds(2));
  const auto took = steady_clock::now() - leaving;
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_EQ(said, "leaving\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "status " + std::to_string(WEXITSTATUS(status)));
  EXPECT_LT(duration_cast<milliseconds>(took).count(), 1000);
  if (situation == "initialised" || situation == "sampling" || comments) {
    const std::vector<std::string> commands = monitor.Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "X");
  }
}

INSTANTIATE_TEST_SUITE_P(Situations, EndWithoutCloseAll, ::testing::Values("found", "initialised", "sampling", "nodriver", "comments"));

}  // namespace
}  // namespace e2e
