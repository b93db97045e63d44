#pragma once
// The serial link under a device: the open port, the reader thread that waits on it, the
// receive buffer and its cutting into lines, and stopping the reader (parked and ended there
// under the Windows loader lock). It knows nothing of what the lines mean: each goes to its
// Receiver on the reader thread, and it writes what it is given.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/event.h"
#include "platform/thread_end.h"
#include "serial/com_port.h"
#include "serial/receive_buffer.h"

namespace vyra {

// Milliseconds of a monotonic clock: the time base of every time-out. Inline, as the host's
// ReadLine reads it on every wait.
inline int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class SerialLink : public COMPort {
 public:
  // Called on the reader thread only.
  class Receiver {
   public:
    // One reply (without its CR and leading white space).
    virtual int32_t Line(const char* bytes, int length) = 0;
    // After the lines of one read; `dispatched` is how many there were.
    virtual void PassEnd(int dispatched) = 0;
    // The line has failed: nothing more will arrive.
    virtual void LineLost() = 0;

   protected:
    ~Receiver() = default;
  };

  explicit SerialLink(Receiver& receiver) : receiver_(receiver) {}
  ~SerialLink() override;

  // Opens and stores the line; false when the path cannot be opened.
  bool OpenPath(std::u16string_view path) { return OpenLine(path); }
  // Takes a line the caller opened (tests use their own).
  void Adopt(std::shared_ptr<plat::SerialPort> line) {
    std::lock_guard l(portMutex);
    port = std::move(line);
  }
  // A new reader on the open line, with an empty buffer. A reader left by an earlier call must
  // have been stopped (StopReader) first.
  bool StartReader();
  // Signals the reader's stop (once), waits at most waitMs (< 0: until it has ended) and
  // joins it when it has ended.
  void StopReader(int waitMs);
  // Unload under the Windows loader lock (platform/thread_end.h): the reader told to stop.
  void SignalReaderStop();
  // Ends the stopped reader where it parks, or sees it gone, waiting until deadlineMs at the
  // latest; false when it still runs: its receiver must then never be destroyed.
  bool EndReaderForUnload(int64_t deadlineMs);
  bool ReaderLeftRunning() const { return readerLeftRunning_.load(std::memory_order_relaxed); }

  // One read of what the buffer can hold and the lines it completes (the reader's pass).
  HResult ReceivePass();
  ReceiveBuffer& Received() { return received_; }

 private:
  void ReaderLoop();

  // One per StartReader; each has its own stop event so a stop signalled for an earlier
  // thread never ends a later one. A new one starts only after the previous one has been
  // joined, so one reader at a time owns the buffer.
  struct Reader {
    std::thread thread;
    plat::Event stop;
    plat::ThreadEnd end;  // only for an unload under the Windows loader lock
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    bool stopSignalled = false;              // host side only
    bool lineFailed = false;                 // reader thread only: a read found the line gone
    std::shared_ptr<plat::SerialPort> line;  // keeps the port alive until the thread has ended
  };

  Receiver& receiver_;
  std::unique_ptr<Reader> reader_;
  std::atomic<bool> readerLeftRunning_{false};
  ReceiveBuffer received_;  // last: its positions and front share a line with the members above
};

}  // namespace vyra
