#include "serial/com_port.h"

#include <chrono>
#include <thread>

#include "support/hot_path.h"

namespace vyra {

COMPort::~COMPort() {
  std::lock_guard l(portMutex);
  port.reset();
}

std::shared_ptr<plat::SerialPort> COMPort::Line() const {
  std::lock_guard l(portMutex);
  return port;
}

bool COMPort::IsOpen() const { return Line() != nullptr; }

bool COMPort::Close() {
  std::shared_ptr<plat::SerialPort> closing;
  {
    std::lock_guard l(portMutex);
    closing.swap(port);
  }
  // The handle closes here unless a reader thread still holds the line; then it closes when
  // that thread lets go of it.
  return closing != nullptr;
}

bool COMPort::OpenLine(std::u16string_view path) {
  std::shared_ptr<plat::SerialPort> line = plat::SerialPort::Open(path);
  if (!line) return false;
  tracePort.store(TracePortId(path), std::memory_order_relaxed);
  std::lock_guard l(portMutex);
  port = std::move(line);
  return true;
}

HResult COMPort::Open(std::u16string_view path, int rate) {
  if (!OpenLine(path)) return kE_FAIL;
  if (Configure(rate, 1)) return kS_OK;
  Close();
  return kE_FAIL;
}

bool COMPort::Configure(int rate, int rtsControl) {
  auto line = Line();
  if (!line || !line->Configure(rate, rtsControl)) return false;
  baudRate = rate;  // the argument itself, also when it kept the line's rate
  return true;
}

bool COMPort::SetBaudRate(int rate) { return Configure(rate, 1); }

int COMPort::GetBaudRate() const { return baudRate; }

bool COMPort::CanUseBaudRate(int rate) {
  const int previous = GetBaudRate();
  if (!Configure(rate, 1)) return false;
  return Configure(previous, 1);
}

bool COMPort::WriteBytesIfFree(const void* data, size_t length) {
  std::shared_ptr<plat::SerialPort> line;
  {
    std::unique_lock l(portMutex, std::try_to_lock);
    if (!l.owns_lock()) return false;
    line = port;
  }
  return line && WriteTraced(*line, data, length, TraceWait::kNever);
}

bool COMPort::WriteBytes(const void* data, size_t length) {
  auto line = Line();
  if (!line) {
    // As a write on a closed handle: it fails after its 20 ms wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return false;
  }
  return WriteTraced(*line, data, length, TraceWait::kForLock);
}

bool COMPort::WriteTraced(plat::SerialPort& line, const void* data, size_t length, TraceWait wait) {
  // Recorded before it goes out: the reply can be read, and recorded, before Write returns.
  const int32_t id = tracePort.load(std::memory_order_relaxed);
  TraceBytes(id, '>', std::string_view(static_cast<const char*>(data), length), wait);
  if (line.Write(data, length)) return true;
  TraceBytes(id, '/', "the last write to this port did not complete within its 20 ms", wait);
  return false;
}

VYRA_HOT_PATH void COMPort::TraceReceived(const void* bytes, long count) const noexcept {
  if (count > 0)
    TraceBytes(tracePort.load(std::memory_order_relaxed), '<',
               std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(count)));
}

}  // namespace vyra
