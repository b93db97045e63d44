// The serial spine against a kernel pseudo-terminal whose far end the test plays.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/event.h"
#include "platform/serial_port.h"
#include "device/dura_serial.h"
#include "serial/com_port.h"
#include "support/proc_entries.h"

namespace vyra {
namespace {

using Clock = std::chrono::steady_clock;
using WaitResult = plat::SerialPort::WaitResult;

// The far end. The test keeps a descriptor of the slave open as a real line's other users
// would, so closing the plug-in's descriptor is not a hang-up.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  bool Ok() const { return master_ >= 0 && slave_ >= 0; }
  std::u16string Path() const { return std::u16string(path_.begin(), path_.end()); }
  int Master() const { return master_; }
  int Slave() const { return slave_; }

  void Send(const std::string& bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  // Everything the plug-in wrote, until `want` bytes came or the time is up.
  std::string Receive(size_t want, int ms = 1000) {
    std::string got;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want && Clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
        char b[4096];
        ssize_t n = read(master_, b, sizeof b);
        if (n > 0) got.append(b, static_cast<size_t>(n));
      }
    }
    return got;
  }
  void Drain() { Receive(SIZE_MAX, 30); }
  // What the plug-in has written so far, without waiting.
  std::string Queued() {
    std::string got;
    char b[4096];
    for (ssize_t n; (n = read(master_, b, sizeof b)) > 0;) got.append(b, static_cast<size_t>(n));
    return got;
  }
  void HangUp() {
    close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

using vyra::test::CountEntries;
int Threads() { return CountEntries("/proc/self/task"); }
// Sanitizer runtimes start a helper thread with the process's first thread: have that happen
// before the count is taken.
int BaselineThreads() {
  // A joined thread can still be listed for a moment: counted only once it is gone.
  pid_t tid = 0;
  std::thread([&tid] { tid = gettid(); }).join();
  const std::string entry = "/proc/self/task/" + std::to_string(tid);
  for (int i = 0; i < 1000 && access(entry.c_str(), F_OK) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return Threads();
}
int Descriptors() { return CountEntries("/proc/self/fd") - 1; }  // less the one opendir holds

// Waits for a condition that another thread brings about.
template <class F>
bool Eventually(F condition, int ms = 2000) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A joined thread can still be listed for a moment while the kernel finishes its exit.
bool ThreadsSettleAt(int n) {
  return Eventually([n] { return Threads() == n; }, 1000);
}

int64_t ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// A short handshake limit for the devices that never answer; long enough for a loaded
// machine's responder, which ends the wait as soon as it answers.
std::unique_ptr<DuraSerial> FastDevice(const Pty& pty, int handshakeLimitMs = 2000) {
  auto d = std::make_unique<DuraSerial>(pty.Path(), u"USB\\VID_0403&PID_6001\\BVLVYRA0042");
  d->timing.handshakeLimitMs = handshakeLimitMs;
  d->timing.closeSettleMs = 1;
  return d;
}

// Plays the monitor at the far end as far as Initialise looks at the handshake: answers
// "S", "WN5" and "V" (with `level` as the firmware level), the first after delayMs, and no
// other command, so the device stops in state 4. Commands left by earlier devices are
// dropped unanswered; what the plug-in writes from then on is kept.
class Monitor {
 public:
  Monitor(Pty& pty, std::string level, int delayMs = 0) : pty_(pty) {
    pty_.Queued();
    thread_ = std::thread([this, version = "V,1,0,0," + level + ",VYRA,0,BVL", delayMs] {
      std::string pending;
      bool answered = false;
      while (!quit_) {
        pollfd p{pty_.Master(), POLLIN, 0};
        if (poll(&p, 1, 5) <= 0) continue;
        const std::string got = pty_.Queued();
        {
          std::lock_guard l(mutex_);
          received_ += got;
        }
        pending += got;
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
          const std::string command = pending.substr(0, end + 1);
          const std::string reply =
              command == ":S\n" ? "S" : command == ":WN5\n" ? "WN5" : command == ":V\n" ? version : "";
          if (reply.empty()) continue;
          if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
          answered = true;
          pty_.Send(reply + "\r\n");
        }
      }
    });
  }
  ~Monitor() {
    quit_ = true;
    thread_.join();
  }
  std::string Received() {
    std::lock_guard l(mutex_);
    return received_;
  }

 private:
  Pty& pty_;
  std::atomic<bool> quit_{false};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

// --- the line itself -------------------------------------------------------------------

TEST(SpinePort, OpenConfiguresRaw8N1At115200Exclusively) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  COMPort port;
  ASSERT_EQ(port.Open(pty.Path(), 115200), kS_OK);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.GetBaudRate(), 115200);

  termios t{};
  ASSERT_EQ(tcgetattr(pty.Slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  int exclusive = 0;
  ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  EXPECT_TRUE(port.Close());
  ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "the tty must be reopenable after Close";
  EXPECT_FALSE(port.Close());
  EXPECT_FALSE(port.IsOpen());
}

TEST(SpinePort, OpenFailsOnMissingPathAndNonTerminal) {
  COMPort port;
  EXPECT_EQ(port.Open(u"/dev/no-such-vyra-port", 115200), kE_FAIL);
  EXPECT_EQ(port.Open(u"/dev/null", 115200), kE_FAIL);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.GetBaudRate(), 0);
}

TEST(SpinePort, RateOperations) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  COMPort port;
  ASSERT_EQ(port.Open(pty.Path(), 115200), kS_OK);
  termios t{};

  EXPECT_TRUE(port.CanUseBaudRate(9600));
  EXPECT_EQ(port.GetBaudRate(), 115200);
  tcgetattr(pty.Slave(), &t);
  EXPECT_EQ(cfgetospeed(&t), B115200) << "the tried rate must be undone";

  EXPECT_TRUE(port.SetBaudRate(0));
  EXPECT_EQ(port.GetBaudRate(), 0) << "the argument is stored even when it keeps the rate";
  tcgetattr(pty.Slave(), &t);
  EXPECT_EQ(cfgetospeed(&t), B115200);

  EXPECT_TRUE(port.SetBaudRate(57600));
  tcgetattr(pty.Slave(), &t);
  EXPECT_EQ(cfgetospeed(&t), B57600);

  // A rate without a B-constant goes through the kernel's arbitrary-rate interface.
  EXPECT_TRUE(port.SetBaudRate(250000));
  EXPECT_EQ(port.GetBaudRate(), 250000);
}

TEST(SpinePort, ClosedPortRefusesEverything) {
  COMPort port;
  EXPECT_FALSE(port.Close());
  EXPECT_FALSE(port.SetBaudRate(9600));
  EXPECT_FALSE(port.CanUseBaudRate(9600));
  EXPECT_EQ(port.GetBaudRate(), 0);
  auto start = Clock::now();
  EXPECT_FALSE(port.WriteBytes(":X\n", 3));
  EXPECT_GE(ElapsedMs(start), 19) << "a write on a closed port fails after its 20 ms wait";
}

TEST(SpinePort, WritesBytesUnchangedAndGivesUpWhenTheFarEndStopsReading) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  COMPort port;
  ASSERT_EQ(port.Open(pty.Path(), 115200), kS_OK);
  const std::string frame("a\nb\r\x11\x13\xff", 7);
  EXPECT_TRUE(port.WriteBytes(frame.data(), frame.size()));
  EXPECT_EQ(pty.Receive(frame.size()), frame);

  // Nobody reads: the kernel's buffer fills and the write must give up, not block.
  std::string block(1 << 20, 'z');
  auto start = Clock::now();
  EXPECT_FALSE(port.WriteBytes(block.data(), block.size()));
  EXPECT_LT(ElapsedMs(start), 1000);
}

TEST(SpinePort, WaitReadableReportsDataStopTimeoutAndHangUp) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  auto line = plat::SerialPort::Open(pty.Path());
  ASSERT_TRUE(line);
  ASSERT_TRUE(line->Configure(115200, 1));
  plat::Event stop;
  char buf[64];

  EXPECT_EQ(line->WaitReadable(stop, 20), WaitResult::Timeout);
  EXPECT_EQ(line->ReadQueued(buf, sizeof buf), 0);

  pty.Send("V\r\n");
  EXPECT_EQ(line->WaitReadable(stop, 1000), WaitResult::Readable);
  ASSERT_TRUE(Eventually([&] { int q = 0; ioctl(pty.Slave(), FIONREAD, &q); return q == 3; }));
  EXPECT_EQ(line->ReadQueued(buf, sizeof buf), 3);

  stop.Set();
  pty.Send("x");
  EXPECT_EQ(line->WaitReadable(stop, 1000), WaitResult::Stopped) << "a stop wins over queued data";
  EXPECT_EQ(line->WaitReadable(stop, 0), WaitResult::Readable) << "the stop is consumed (auto-reset)";
  EXPECT_EQ(line->ReadQueued(buf, sizeof buf), 1);

  pty.HangUp();
  EXPECT_EQ(line->WaitReadable(stop, 1000), WaitResult::Failed);
  EXPECT_LE(line->ReadQueued(buf, sizeof buf), 0) << "a hung-up tty reads as end of file or EIO";
}

TEST(SpinePort, EventIsAutoReset) {
  plat::Event e;
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0)) << "one wait consumes it";
  e.Set();
  e.Reset();
  EXPECT_FALSE(e.Wait(5));
  std::thread setter([&] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); e.Set(); });
  EXPECT_TRUE(e.Wait(-1));
  setter.join();
}

// --- the device object ----------------------------------------------------------------

TEST(SpineDevice, CreationRecordsIdentity) {
  DuraSerial branded(u"/dev/serial/by-id/x", u"FTDIBUS\\VID_0403+PID_6001+BVLVYRA0042A\\0000");
  DuraSerial plain(u"/dev/serial/by-id/x", u"FTDIBUS\\VID_0403+PID_6001+bvlvyra0042A\\0000");
  EXPECT_TRUE(branded.isBranded);
  EXPECT_FALSE(plain.isBranded) << "the brand test is case-sensitive";
  EXPECT_FALSE(branded.IsOpen());
  EXPECT_EQ(branded.GetBaudRate(), 0);
  EXPECT_EQ(branded.State(), kCreated);
  EXPECT_FALSE(branded.deviceFailed.load());
}

TEST(SpineDevice, InitialiseOpensTheLineAndReturnsOnceTheHandshakeMovesOn) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  const int baseThreads = BaselineThreads();
  auto d = FastDevice(pty, 16000);
  {
    Monitor answer(pty, "1", 30);  // answers after Initialise has begun to wait
    auto start = Clock::now();
    ASSERT_EQ(d->Initialise(), kS_OK);
    EXPECT_LT(ElapsedMs(start), 1000) << "ended by the state change, not by a step or the limit";
  }
  EXPECT_TRUE(d->IsOpen());
  EXPECT_EQ(d->GetBaudRate(), 115200);
  EXPECT_FALSE(d->deviceFailed.load());
  EXPECT_TRUE(ThreadsSettleAt(baseThreads + 1));  // the reader

  termios t{};
  ASSERT_EQ(tcgetattr(pty.Slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
}

TEST(SpineDevice, SendsStartAndEndCommandsFramed) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  auto d = FastDevice(pty);
  {
    Monitor answer(pty, "1");
    ASSERT_EQ(d->Initialise(), kS_OK);
    // The reader answers each reply with the next command; the last goes out before state 4.
    const std::string handshake = ":S\n:WN5\n:V\n:BvL\n";
    EXPECT_TRUE(Eventually([&] { return answer.Received() == handshake; })) << answer.Received();
  }
  EXPECT_TRUE(d->Close());
  EXPECT_EQ(pty.Receive(3), ":X\n");
  EXPECT_FALSE(d->IsOpen());
}

TEST(SpineDevice, NeverAnsweredFailsAtTheLimit) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  const int baseThreads = BaselineThreads();
  auto d = FastDevice(pty, 80);
  auto start = Clock::now();
  EXPECT_EQ(d->Initialise(), kE_FAIL);
  EXPECT_GE(ElapsedMs(start), 80);
  EXPECT_TRUE(d->notResponding.load());
  EXPECT_TRUE(d->deviceFailed.load());
  EXPECT_FALSE(d->firmwareMismatch.load());
  EXPECT_TRUE(d->IsOpen()) << "the port and the reader stay up after a handshake failure";
  EXPECT_TRUE(ThreadsSettleAt(baseThreads + 1));
  d.reset();
  EXPECT_TRUE(ThreadsSettleAt(baseThreads));
}

TEST(SpineDevice, FirmwareLevelIsReadAsLeadingInteger) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  const struct {
    const char* level;
    bool passes;
  } cases[] = {{"1", true},  {" 1", true},  {"1.5", true}, {"+1", true}, {"01", true},
               {"2", false}, {"", false},   {"x1", false}, {"-1", false}, {"99999999999999999999", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("level \"") + c.level + "\"");
    auto d = FastDevice(pty);
    Monitor answer(pty, c.level);
    EXPECT_EQ(d->Initialise(), c.passes ? kS_OK : kE_FAIL);
    EXPECT_EQ(d->firmwareMismatch.load(), !c.passes);
    EXPECT_EQ(d->deviceFailed.load(), !c.passes);
    EXPECT_FALSE(d->notResponding.load());
  }
}

TEST(SpineDevice, ReaderDispatchesLinesFromTheLine) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  auto d = FastDevice(pty);
  {
    Monitor answer(pty, "1");
    ASSERT_EQ(d->Initialise(), kS_OK);
  }
  pty.Drain();
  uint32_t before = d->HostSequence();
  pty.Send("\r\nU,1,2\r\n");
  EXPECT_TRUE(Eventually([&] { return d->HostSequence() != before; })) << "a pass that dispatched a line notifies";
  // Lines arriving in pieces are put together, and reach the protocol: the brand echo moves
  // the handshake on and its next command goes out.
  before = d->HostSequence();
  pty.Send("AC");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(d->HostSequence(), before) << "no complete line yet";
  EXPECT_EQ(d->State(), kAwaitBrandEcho);
  pty.Send("K\r\n");
  EXPECT_TRUE(Eventually([&] { return d->HostSequence() != before; }));
  EXPECT_EQ(d->State(), kAwaitParameters);
  EXPECT_EQ(pty.Receive(3), ":F\n");
}

TEST(SpineDevice, CloseStopsTheReaderAndClosesTheLine) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  const int baseThreads = BaselineThreads();
  auto d = FastDevice(pty);
  {
    Monitor answer(pty, "1");
    ASSERT_EQ(d->Initialise(), kS_OK);
  }
  EXPECT_TRUE(ThreadsSettleAt(baseThreads + 1));
  EXPECT_TRUE(d->Close());
  EXPECT_TRUE(ThreadsSettleAt(baseThreads)) << "the reader ends within Close's wait";
  EXPECT_FALSE(d->IsOpen());
  EXPECT_FALSE(d->Close());
}

TEST(SpineDevice, DestructionJoinsAReaderThatCloseDidNotWaitFor) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  const int baseThreads = BaselineThreads();
  auto d = FastDevice(pty);
  d->timing.closeJoinMs = 0;
  {
    Monitor answer(pty, "1");
    ASSERT_EQ(d->Initialise(), kS_OK);
  }
  d->Close();
  EXPECT_FALSE(d->IsOpen());
  d.reset();
  EXPECT_TRUE(ThreadsSettleAt(baseThreads));
}

TEST(SpineDevice, ReinitialiseAfterFailedInitialise) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  const int baseThreads = BaselineThreads();
  auto d = FastDevice(pty, 160);
  ASSERT_EQ(d->Initialise(), kE_FAIL);  // never answered
  // What the Initialise export does with a failed, open device.
  d->Close();
  d->timing.closeJoinMs = 0;  // and even when the earlier Close did not wait for its reader
  {
    Monitor answer(pty, "1");
    ASSERT_EQ(d->Initialise(), kS_OK);
  }
  EXPECT_TRUE(d->deviceFailed.load()) << "failure is never cleared";
  EXPECT_TRUE(d->notResponding.load());
  EXPECT_TRUE(ThreadsSettleAt(baseThreads + 1)) << "exactly one reader after re-initialisation";

  // The new reader runs: the earlier stop did not end it.
  pty.Drain();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint32_t before = d->HostSequence();
  pty.Send("A\r\n");
  EXPECT_TRUE(Eventually([&] { return d->HostSequence() != before; }));

  // A second failure and re-initialisation, then destruction: every reader is gone.
  d->Close();
  ASSERT_EQ(d->Initialise(), kE_FAIL);
  d.reset();
  EXPECT_TRUE(ThreadsSettleAt(baseThreads));
}

TEST(SpineDevice, InitialiseOnMissingPathFailsWithoutThread) {
  const int baseThreads = BaselineThreads();
  DuraSerial d(u"/dev/no-such-vyra-port", u"x");
  d.timing.closeSettleMs = 1;
  EXPECT_EQ(d.Initialise(), kE_FAIL);
  EXPECT_TRUE(d.deviceFailed.load());
  EXPECT_FALSE(d.notResponding.load());
  EXPECT_FALSE(d.IsOpen());
  EXPECT_TRUE(ThreadsSettleAt(baseThreads));
}

TEST(SpineDevice, FarEndHangUpMarksFailedAndTheReaderParks) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  const int baseThreads = BaselineThreads();
  auto d = FastDevice(pty);
  {
    Monitor answer(pty, "1");
    ASSERT_EQ(d->Initialise(), kS_OK);
  }
  pty.HangUp();
  ASSERT_TRUE(Eventually([&] { return d->deviceFailed.load(); }));

  // Parked, not spinning on the dead descriptor: the process stays nearly idle.
  timespec a{}, b{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
  double cpuMs = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
  EXPECT_LT(cpuMs, 100.0);

  EXPECT_TRUE(ThreadsSettleAt(baseThreads + 1));
  d.reset();
  EXPECT_TRUE(ThreadsSettleAt(baseThreads));
}

TEST(SpineDevice, CyclesLeaveNoThreadOrDescriptorBehind) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  const int baseThreads = BaselineThreads();
  const int baseFds = Descriptors();
  for (int i = 0; i < 50; ++i) {
    auto d = FastDevice(pty, i % 2 == 0 ? 2000 : 16);
    if (i % 2 == 0) {
      Monitor answer(pty, "1");
      EXPECT_EQ(d->Initialise(), kS_OK) << "cycle " << i;
    } else {
      EXPECT_EQ(d->Initialise(), kE_FAIL) << "cycle " << i;
    }
    if (i % 3 == 0) d->Close();
  }
  EXPECT_TRUE(ThreadsSettleAt(baseThreads));
  EXPECT_EQ(Descriptors(), baseFds);
}

}  // namespace
}  // namespace vyra
