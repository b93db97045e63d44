// vyra-sim: a simulated Dura monitor serving the device side of the serial protocol on a
// pseudo-terminal, and a fake sysfs/dev tree so discovery can find it.
//
// It shares no code with the plug-in on purpose: it is the independent far end that end-to-end
// tests and the demo talk to.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyra::sim {

enum class Profile {
  kBrandedVyra,  // model "VYRA", brand mark "BVL", cuff cycles
  kPlainVyra,    // model "VYRA" without the brand mark (refused unless found as branded)
  kVentilator,
  kOximeter,
  kCapnograph,
};

enum class Fault {
  kNone,
  kSilent,              // records commands, never sends a byte
  kWrongFirmwareLevel,  // version reply reports compatibility level 2
  kShortVersion,        // version reply with fewer than five fields
  kGarbage,             // junk lines (binary bytes, NUL) between sample lines
  kStall,               // stops sending after Options::faultAfterLines sample lines
  kHangUp,              // closes the master after Options::faultAfterLines sample lines
};

// How one cuff cycle's upload goes.
enum class CycleKind {
  kNormal,         // whole waveform, then a measurement line with error code 0
  kError,          // whole waveform, then a measurement line with a non-zero error code
  kCutShort,       // first half of the waveform only, no measurement line (the host's time-out fires)
  kStartedBefore,  // second half of the waveform (no block with index 0), then the measurement line
  kHeld,           // blocks 300 ms apart, so a stop can land while the upload is running
};

struct CycleOptions {
  bool enabled = true;  // cycles run on the VYRA profiles only
  std::chrono::milliseconds firstDelay{1000};  // from "B" to the first cycle
  std::chrono::milliseconds interval{5000};    // between cycle starts
  // Waveform values in one upload, both channels together: the number of value fields over all
  // w5 lines, reported as field 2 of the WI5 reply. Each channel gets half. Rounded up to even.
  int valuesPerUpload = 200;
  int blockValues = 20;  // value fields per w5 line (even; a block never splits a cuff/VPR pair)
  // 0: one w5 line after each sample line. Otherwise w5 lines this far apart.
  std::chrono::milliseconds blockInterval{0};
  std::vector<CycleKind> plan;  // kinds of the first cycles, in order; later cycles are kNormal
  int errorCode = 7;            // field 12 of a kError measurement line
};

struct ChannelSpec {
  std::string name, unit, maxText, minText;
  std::string valueText = {};  // an extra channel's every sample as written; empty: the range's middle
};

struct Options {
  Profile profile = Profile::kBrandedVyra;
  bool timeColumn = false;  // sample lines start with a "Time" column (seconds since "B")
  Fault fault = Fault::kNone;
  int faultAfterLines = 100;  // sample lines before a stall or hang-up
  int garbageEvery = 7;       // a junk line after every n-th sample line (Fault::kGarbage)
  // Line pacing in bytes per second; 0 sends as fast as the pty takes it.
  // 11520 is 115200 baud with 8N1 framing.
  int bytesPerSecond = 11520;
  std::string uploadRates = "0.005,0.01,0.02,0.05,0.1,EndOfCycle";  // seconds per entry
  int initialRate = 2;  // entry in force before any "P<k>"
  CycleOptions cycles;
  // Channels after the profile's own, each sending a steady value inside its range.
  std::vector<ChannelSpec> extraChannels;
  // Called on the serving thread for every command received (text without ':' and line end).
  std::function<void(const std::string&)> onCommand;
  // Called on the serving thread right after each sample line has been written, with the value
  // of its counter channel (end-to-end latency measurements).
  std::function<void(std::int64_t counter)> onSampleSent;
};

// What a profile describes in the "I" reply, and which data field counts samples.
struct ProfileInfo {
  std::string model;                  // field 5 of the version reply
  std::vector<ChannelSpec> channels;  // data channels, without the time column
  bool timeColumn = false;
  int counterChannel = 0;    // index into channels: carries 0,1,2,... modulo counterModulus
  int counterModulus = 500;
  int ParameterCount() const { return int(channels.size()) + (timeColumn ? 1 : 0); }
};
ProfileInfo DescribeProfile(Profile profile, bool timeColumn);

struct CycleRecord {
  int number = 0;  // 1-based, counted over the monitor's life
  CycleKind kind = CycleKind::kNormal;
  int systolic = 0, diastolic = 0;            // as sent in fields 7 and 6 (0 for kError)
  int systolicIndex = 0, diastolicIndex = 0;  // fields 14 and 13, in values per channel
  int errorCode = 0;                          // field 12
  int valuesSent = 0;                         // value fields sent in w5 lines
  int blocksSent = 0;
  bool measurementSent = false;
  bool interrupted = false;  // a stop command arrived before the upload ended
};

struct Stats {
  std::uint64_t sampleLines = 0;
  std::uint64_t valuesSent = 0;  // data fields in sample lines, "*" included, time column not
  std::uint64_t waveformLines = 0;
  std::uint64_t measurementLines = 0;
  std::uint64_t garbageLines = 0;
  std::uint64_t bytesSent = 0;
  std::int64_t lastCounter = -1;  // last value sent in the counter channel
  int periodUs = 0;               // current sample period
  bool streaming = false;
  bool uploadActive = false;
  bool stalled = false;
  bool hungUp = false;
};

class Monitor {
 public:
  explicit Monitor(Options options = {});
  ~Monitor();  // Stop()
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Opens the pty pair and starts serving. Throws std::system_error when the pty cannot be had.
  void Start();
  const std::string& SlavePath() const;
  const Options& options() const;
  const ProfileInfo& profile() const;

  // Ends serving and joins the thread; closes the master. Idempotent.
  void Stop();
  // Closes the master now (the host sees the far end hang up) and ends serving.
  void HangUp();
  // Queues bytes to be written as they are, between two lines (also in silent or stalled mode).
  void SendRaw(std::string bytes);

  std::vector<std::string> Commands() const;  // in order received, without ':' and line end
  std::vector<CycleRecord> Cycles() const;    // cycles begun, in order
  Stats GetStats() const;

  // Wait helpers for tests; each returns whether the condition held before the time-out.
  // Holds once the command has been handled, so its effects (period, streaming) are visible.
  bool WaitForCommand(std::string_view text, std::chrono::milliseconds timeout) const;
  bool WaitForSampleLines(std::uint64_t count, std::chrono::milliseconds timeout) const;
  bool WaitForCycles(std::size_t finished, std::chrono::milliseconds timeout) const;  // ended uploads
  bool WaitForUploadActive(std::chrono::milliseconds timeout) const;
  bool WaitForHangUp(std::chrono::milliseconds timeout) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Serves the device side of a byte trace (what the module writes to VYRA_TRACE) on a
// pseudo-terminal, for one port of the trace. The recorded commands are matched in order:
// each command the host sends that is the next recorded one is answered with the bytes the
// device sent after it, at their recorded offsets from it, until the next recorded command;
// when the host's next command comes first, what is left of them goes out at once, before
// its own answer. So a host that sends what the recorded host sent gets the same bytes in
// the same order, streamed lines at their recorded pace. A command that is not the next
// recorded one skips ahead to its next recording (the commands between are never answered),
// and one recorded nowhere after is not answered at all; both are told to onNote.
struct ReplayOptions {
  std::string port;  // the trace's port, by path or by the path's last part; empty: the first
  std::function<void(const std::string&)> onCommand;  // serving thread, every command received
  std::function<void(const std::string&)> onNote;     // serving thread, a command that differs
};

struct ReplayCounts {
  std::size_t recorded = 0;    // commands in the trace for the port
  std::size_t answered = 0;    // host commands matched to a recorded one
  std::size_t skipped = 0;     // recorded commands passed over to match a later one
  std::size_t unanswered = 0;  // host commands recorded nowhere after the last match
  std::uint64_t bytesSent = 0;
};

class Replay {
 public:
  // Reads the trace. Throws std::runtime_error when it cannot be read or lacks the port.
  explicit Replay(const std::string& tracePath, ReplayOptions options = {});
  ~Replay();  // Stop()
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  // As Monitor::Start, Monitor::Stop.
  void Start();
  void Stop();
  const std::string& SlavePath() const;
  const std::string& Port() const;  // the trace's path of the port served
  ReplayCounts Counts() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The host's end of a monitor's terminal, opened raw and non-blocking as a plain serial
// program would; commands go out framed as ":<command>\n".
class HostEnd {
 public:
  explicit HostEnd(const std::string& slavePath);
  ~HostEnd();
  HostEnd(const HostEnd&) = delete;
  HostEnd& operator=(const HostEnd&) = delete;

  bool ok() const { return fd_ >= 0; }
  // Whether the whole frame was written.
  bool Send(const std::string& command);
  // Every byte that arrives within `span` (less if the far end hangs up), with any bytes
  // Line had read ahead.
  std::string ReadFor(std::chrono::milliseconds span);
  // One line without CR LF; nullopt on time-out or hang-up.
  std::optional<std::string> Line(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  bool hungUp() const { return hungUp_; }

 private:
  void Fill(int waitMs);  // one poll of at most waitMs, then one read

  int fd_ = -1;
  std::string buf_;
  bool hungUp_ = false;
};

// One serial port in a fake discovery tree (kernel sysfs shape).
struct TreePort {
  std::string tty = "ttyUSB0";
  std::string target;  // what <dev>/<tty> links to, normally Monitor::SlavePath()
  std::string serial = "BVLVYRA0042";  // empty: the USB device has no serial file
  std::string vendor = "0403", product = "6001";
  std::string driver = "ftdi_sio";  // interface driver; another (cp210x) gives a non-FTDI port
  int interfaceNumber = 0;
  int usbPort = 0;         // USB device 1-<usbPort>; 0 picks position + 1. Equal numbers share a device
  bool usbParent = true;   // false: a platform port with no USB interface above it
  bool deviceLink = true;  // false: a class/tty entry without "device" (a virtual tty)
  bool byIdLink = true;    // <dev>/serial/by-id link (USB ports only)
};

struct TreePaths {
  std::string sysfsRoot;  // VYRA_SYSFS_ROOT
  std::string devRoot;    // VYRA_DEV_ROOT
};

// Lays out <root>/sys and <root>/dev for the ports. ftdiDriverLoaded false leaves out
// <sys>/bus/usb-serial/drivers/ftdi_sio. Links inside the tree are relative, as the kernel's;
// <dev>/<tty> links to TreePort::target as given. Throws std::filesystem::filesystem_error.
TreePaths LayOutDiscoveryTree(const std::string& root, const std::vector<TreePort>& ports,
                              bool ftdiDriverLoaded = true);

// Takes a port out of a tree laid out under `root`, as the kernel does when its adapter is
// unplugged: its tty class entry, its device node and its by-id link go. Laying the tree out
// again with the port (a new Monitor's SlavePath as target) plugs it back in.
void UnplugPort(const std::string& root, const TreePort& port);

// The by-id link name a port gets.
std::string ByIdName(const TreePort& port);

}  // namespace vyra::sim
