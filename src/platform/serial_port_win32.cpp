// The serial line on an overlapped Win32 COM handle.
#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/hot_path.h"
#include "platform/serial_port.h"

namespace vyra::plat {

namespace {

// The far end is gone (device unplugged; under Wine, the pseudo-terminal hung up).
bool LineGone(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_BROKEN_PIPE ||
         error == ERROR_NOT_READY;
}

class Win32SerialPort final : public SerialPort {
 public:
  explicit Win32SerialPort(HANDLE h)
      : h_(h),
        commEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        readEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  ~Win32SerialPort() override {
    SetCommMask(h_, 0);  // no wait stays pending on the handle
    CloseHandle(h_);
    if (commEvent_) CloseHandle(commEvent_);
    if (readEvent_) CloseHandle(readEvent_);
  }

  bool Usable() const { return commEvent_ && readEvent_; }

  bool Configure(int rate, int rtsControl) override {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h_, &dcb)) return false;
    if (rate > 0) dcb.BaudRate = static_cast<DWORD>(rate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fAbortOnError = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = static_cast<DWORD>(rtsControl & 3);
    // Software flow control off as well: with it on, Wine drops 0x11/0x13 from the stream.
    dcb.fOutX = 0;
    dcb.fInX = 0;
    if (!SetCommState(h_, &dcb)) return false;
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(h_, &timeouts)) return false;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(h_, &timeouts) != 0;
  }

  bool Write(const void* data, size_t length) override {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) return false;
    ResetEvent(event);
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = event;
    DWORD written = 0;
    bool ok;
    if (WriteFile(h_, data, static_cast<DWORD>(length), &written, &ov)) {
      ok = true;
    } else if (GetLastError() != ERROR_IO_PENDING) {
      ok = false;
    } else if (WaitForSingleObject(event, 20) == WAIT_OBJECT_0) {
      ok = GetOverlappedResult(h_, &ov, &written, FALSE) != 0;
    } else {
      // Too slow: the write must have ended before its OVERLAPPED and event go.
      CancelIoEx(h_, &ov);
      GetOverlappedResult(h_, &ov, &written, TRUE);
      ok = false;
    }
    CloseHandle(event);
    return ok;
  }

  VYRA_PLATFORM_HOT_PATH WaitResult WaitReadable(Event& stop, int timeoutMs) override {
    const ULONGLONG start = GetTickCount64();
    auto remaining = [&]() -> DWORD {
      ULONGLONG spent = GetTickCount64() - start;
      return spent >= static_cast<ULONGLONG>(timeoutMs) ? 0 : static_cast<DWORD>(timeoutMs - spent);
    };
    // Nothing to read, yet the port is fine: sleep on the stop event for the rest of the
    // budget so the caller's loop never spins.
    auto idle = [&]() { return stop.Wait(static_cast<int>(remaining())) ? WaitResult::Stopped : WaitResult::Timeout; };
    // A wait that ended without EV_RXCHAR: data, a real failure, or nothing.
    auto afterEmptyWait = [&]() {
      DWORD errors = 0;
      COMSTAT stat;
      ZeroMemory(&stat, sizeof stat);
      if (!ClearCommError(h_, &errors, &stat)) return LineGone(GetLastError()) ? WaitResult::Failed : idle();
      return stat.cbInQue > 0 ? WaitResult::Readable : idle();
    };

    // Once a comm wait has ended aborted with no mask, poll the queue instead of re-arming.
    if (waitsUnreliable_) return afterEmptyWait();
    if (!SetCommMask(h_, EV_RXCHAR)) return LineGone(GetLastError()) ? WaitResult::Failed : idle();
    {
      DWORD errors = 0;
      COMSTAT stat;
      ZeroMemory(&stat, sizeof stat);
      if (ClearCommError(h_, &errors, &stat)) {
        if (stat.cbInQue > 0) return WaitResult::Readable;
      } else if (LineGone(GetLastError())) {
        return WaitResult::Failed;
      }
    }

    mask_ = 0;  // SetCommMask may end a wait without writing the mask
    ZeroMemory(&waitOv_, sizeof waitOv_);
    waitOv_.hEvent = commEvent_;
    ResetEvent(commEvent_);
    if (WaitCommEvent(h_, &mask_, &waitOv_)) {
      // Completed at once: it does so while bytes are queued (Wine's EV_RXCHAR is level-triggered).
      return (mask_ & EV_RXCHAR) ? WaitResult::Readable : afterEmptyWait();
    }
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return LineGone(error) ? WaitResult::Failed : idle();

    HANDLE handles[2] = {commEvent_, reinterpret_cast<HANDLE>(stop.Native())};
    DWORD w = WaitForMultipleObjects(2, handles, FALSE, remaining());
    if (w == WAIT_OBJECT_0) {
      DWORD unused = 0;
      if (!GetOverlappedResult(h_, &waitOv_, &unused, TRUE)) {
        error = GetLastError();
        // ERROR_OPERATION_ABORTED with mask 0: Wine on a pseudo-terminal, not a fault by itself.
        if (error == ERROR_OPERATION_ABORTED && mask_ == 0) waitsUnreliable_ = true;
        return LineGone(error) ? WaitResult::Failed : afterEmptyWait();
      }
      return (mask_ & EV_RXCHAR) ? WaitResult::Readable : afterEmptyWait();
    }
    // Stop, time-out or a failed wait: the wait is still in flight and must end before its
    // OVERLAPPED is armed again.
    CompletePendingWait();
    if (w == WAIT_OBJECT_0 + 1) return WaitResult::Stopped;
    if (w == WAIT_TIMEOUT) return (mask_ & EV_RXCHAR) ? WaitResult::Readable : WaitResult::Timeout;
    return WaitResult::Failed;
  }

  VYRA_PLATFORM_HOT_PATH long ReadQueued(void* buffer, size_t capacity) override {
    DWORD errors = 0;
    COMSTAT stat;
    ZeroMemory(&stat, sizeof stat);
    if (!ClearCommError(h_, &errors, &stat)) return LineGone(GetLastError()) ? -1 : 0;
    // Only what is queued: a read of more can stay pending under Wine despite the time-outs.
    DWORD want = static_cast<DWORD>(std::min<size_t>(stat.cbInQue, capacity));
    if (want == 0) return 0;
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = readEvent_;
    ResetEvent(readEvent_);
    DWORD got = 0;
    if (ReadFile(h_, buffer, want, &got, &ov)) return static_cast<long>(got);
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return LineGone(error) ? -1 : 0;
    if (WaitForSingleObject(readEvent_, 20) != WAIT_OBJECT_0) CancelIoEx(h_, &ov);
    if (GetOverlappedResult(h_, &ov, &got, TRUE)) return static_cast<long>(got);
    error = GetLastError();
    if (error == ERROR_OPERATION_ABORTED) return static_cast<long>(ov.InternalHigh);  // what came before the cancel
    return LineGone(error) ? -1 : 0;
  }

 private:
  void CompletePendingWait() {
    SetCommMask(h_, EV_RXCHAR);  // re-arming the mask ends the pending wait
    if (!HasOverlappedIoCompleted(&waitOv_)) CancelIoEx(h_, &waitOv_);
    DWORD unused = 0;
    GetOverlappedResult(h_, &waitOv_, &unused, TRUE);
  }

  HANDLE h_;
  HANDLE commEvent_;  // manual-reset: GetOverlappedResult waits on it
  HANDLE readEvent_;
  OVERLAPPED waitOv_{};
  DWORD mask_ = 0;
  bool waitsUnreliable_ = false;
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(std::u16string_view path) {
  std::wstring p(path.begin(), path.end());
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto port = std::make_unique<Win32SerialPort>(h);
  if (!port->Usable()) return nullptr;
  return port;
}

void RaiseCurrentThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL); }

}  // namespace vyra::plat
