#pragma once
// One open serial line. The portable link code (serial/) keeps the reading and writing steps;
// this is the only place that talks to the OS about the line.
#include <cstddef>
#include <memory>
#include <string_view>

#include "platform/event.h"

namespace vyra::plat {

class SerialPort {
 public:
  // Opens the device path exclusively for non-blocking (overlapped) I/O; null on failure.
  static std::unique_ptr<SerialPort> Open(std::u16string_view path);
  virtual ~SerialPort() = default;

  // 8N1, binary, no flow control, DTR off, RTS from rtsControl (1 = on), reads that return
  // at once with what is queued. rate <= 0 keeps the line's current rate.
  virtual bool Configure(int rate, int rtsControl) = 0;

  // Writes all bytes within one 20 ms budget. A write that misses it is cancelled and
  // completed before returning false.
  virtual bool Write(const void* data, size_t length) = 0;

  enum class WaitResult { Readable, Timeout, Stopped, Failed };
  // Waits at most timeoutMs for received bytes or for `stop`. Failed only when the line
  // itself has failed (far end gone); spurious wake-ups come back as Timeout.
  virtual WaitResult WaitReadable(Event& stop, int timeoutMs) = 0;

  // How long the reader may wait when nothing arrives. The Win32 line re-arms its comm-event
  // wait at least every 20 ms; a poll()ed descriptor has nothing to re-arm, so waking it
  // more often than needed only costs CPU.
  virtual int IdleWaitMs() const { return 20; }

  // Reads what is queued without blocking: bytes read, 0 when nothing, -1 on line failure.
  virtual long ReadQueued(void* buffer, size_t capacity) = 0;
};

// Best effort: the reader thread runs above normal priority where the OS allows it.
void RaiseCurrentThreadPriority();

}  // namespace vyra::plat
