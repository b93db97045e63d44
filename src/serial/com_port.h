#pragma once
// The serial port under every device object: one open line, its settings and the rate it
// last set, and the bounded command write.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

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
  bool WriteBytes(const void* data, size_t length);
  // As WriteBytes, but false at once when the port's lock is taken: at process exit the
  // thread that held it may be gone for good.
  bool WriteBytesIfFree(const void* data, size_t length);

 protected:
  // Opens and stores the line; false when the path cannot be opened.
  bool OpenLine(std::u16string_view path);
  // The open line or null; a copy, so a concurrent Close cannot free it under the caller.
  std::shared_ptr<plat::SerialPort> Line() const;

  std::shared_ptr<plat::SerialPort> port;  // the open line; null when closed; under portMutex
  mutable std::mutex portMutex;
  std::atomic<int32_t> baudRate{0};
};

}  // namespace vyra
