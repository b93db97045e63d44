#pragma once
// The byte trace for field reports: when VYRA_TRACE names a file, every byte between the
// module and its monitors goes there as text, one process-wide file opened anew at the first
// port opened. A line is "<ms> <kind> <payload>", ms on the log clock (as in VYRA_LOG):
//   @  the port the lines below it belong to, by path (written whenever the port changes)
//   <  bytes read from the device
//   >  bytes written to the device
//   // notes: what wrote the trace, writes that failed, lines the file could not keep up with
// Payloads are cut after each line feed and escaped: \\ \r \n \t, and \xHH for every other
// byte below 0x20 or above 0x7E.
//
// Recording never waits for the file: lines wait in a bounded buffer while the file is slow
// and are dropped, with a note saying how many bytes, when it is full.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vyra {

// The file a trace goes to (one backend a platform).
class TraceFile {
 public:
  virtual ~TraceFile() = default;
  // Bytes the file takes now without waiting: 0 when it would wait, -1 when it failed.
  virtual long WriteSome(const char* data, size_t size) noexcept = 0;
};

// The file VYRA_TRACE names, emptied and opened for writes that never wait; null when the
// variable is unset or the file cannot be opened (on Windows also when it is not a disk file).
std::unique_ptr<TraceFile> OpenTraceFileFromEnvironment() noexcept;
// The program and process the trace's header names.
std::string TracedProcess();

enum class TraceWait {
  kForLock,  // as any caller
  kNever,    // process exit: a thread that held the trace's lock may be gone for good
};

class ByteTrace {
 public:
  // Writes the header note at once.
  explicit ByteTrace(std::unique_ptr<TraceFile> file);
  ~ByteTrace();  // a closing note, and a last try at what is still waiting
  ByteTrace(const ByteTrace&) = delete;
  ByteTrace& operator=(const ByteTrace&) = delete;

  // The handle that names `path` in Record; the same path gets the same handle.
  int32_t PortId(std::string_view path);
  // kind '<' or '>': the bytes; '/': a note about the port, `bytes` its text.
  void Record(int32_t port, char kind, std::string_view bytes, TraceWait wait = TraceWait::kForLock) noexcept;

  // What waits for the file at most; past it, lines are dropped.
  static constexpr size_t kPendingLimit = 256 * 1024;

 private:
  void Append(int32_t port, char kind, std::string_view bytes);
  void Flush() noexcept;

  std::mutex mutex_;
  std::unique_ptr<TraceFile> file_;
  std::vector<std::string> ports_;
  int32_t shownPort_ = -1;  // the port of the last "@" line written
  std::string pending_;     // whole lines only
  std::string line_;        // scratch: the lines of one Record
  uint64_t droppedBytes_ = 0, droppedLines_ = 0;  // since the last line written
};

// The process's trace: null when none is written. Built at the first call, destroyed only by
// the unload hook, after the last device.
ByteTrace* ProcessTrace() noexcept;

// The process trace's handle for a port's path; -1 when no trace is written.
int32_t TracePortId(std::u16string_view path) noexcept;
// Records into the process trace; nothing for port -1 or empty bytes.
void TraceBytes(int32_t port, char kind, std::string_view bytes, TraceWait wait = TraceWait::kForLock) noexcept;

}  // namespace vyra
