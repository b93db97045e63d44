#pragma once
// The serial port under every device object: one open line, its settings and the rate it
// last set, and the bounded command write.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "framework/byte_trace.h"
#include "platform/serial_port.h"
#include "support/hresult.h"

namespace vyra {

class COMPort {
 public:
  COMPort() = default;
  virtual ~COMPort();
  COMPort(const COMPort&) = delete;
  COMPort& operator=(const COMPort&) = delete;

  virtual bool IsOpen() const;
  virtual bool Close();
  virtual HResult Open(std::u16string_view path, int rate);
  virtual bool Configure(int rate, int rtsControl);
  virtual bool SetBaudRate(int rate);
  virtual int GetBaudRate() const;
  virtual bool CanUseBaudRate(int rate);

  // Writes within 20 ms; false when the write did not complete in time or the port is closed.
  // Both writes go into the byte trace (framework/byte_trace.h).
  bool WriteBytes(const void* data, size_t length);
  // As WriteBytes, but false at once when the port's lock is taken: at process exit the
  // thread that held it may be gone for good.
  bool WriteBytesIfFree(const void* data, size_t length);

 protected:
  // Opens and stores the line; false when the path cannot be opened.
  bool OpenLine(std::u16string_view path);
  // The open line or null; a copy, so a concurrent Close cannot free it under the caller.
  std::shared_ptr<plat::SerialPort> Line() const;
  // Puts bytes read from the line into the byte trace; a count <= 0 puts nothing.
  void TraceReceived(const void* bytes, long count) const noexcept;

  std::shared_ptr<plat::SerialPort> port;  // the open line; null when closed; under portMutex
  mutable std::mutex portMutex;
  std::atomic<int32_t> baudRate{0};

 private:
  bool WriteTraced(plat::SerialPort& line, const void* data, size_t length, TraceWait wait);

  // The trace's handle for the path last opened; -1 when no trace is written. Atomic: the
  // reader reads it without the port's lock.
  std::atomic<int32_t> tracePort{-1};
};

}  // namespace vyra
