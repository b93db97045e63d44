#pragma once
// Auto-reset event that a serial wait can be woken by (Win32 event / POSIX eventfd).
#include <cstdint>

namespace vyra::plat {

class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until set (and consumes it) or the time passes; timeoutMs < 0 waits forever.
  bool Wait(int timeoutMs);
  // False when the OS could not make the event (out of handles or descriptors).
  bool Valid() const;
  // HANDLE on Win32, file descriptor on POSIX.
  intptr_t Native() const { return native_; }

 private:
  intptr_t native_;
};

}  // namespace vyra::plat
