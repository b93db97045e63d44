#pragma once
// The reader thread's receive ring: 8192 bytes, at most 8191 held, cut into lines at LF.
#include <cstddef>
#include <cstdint>

namespace vyra {

class ReceiveRing {
 public:
  static constexpr int kSize = 8192;
  static constexpr int kMaxHeld = kSize - 1;

  // Stores as many bytes as fit; returns how many were stored.
  int Append(const char* bytes, int n);
  // Copies one line up to its LF into `destination` (at least kSize bytes), writes a NUL in
  // place of the LF and consumes the line and its LF (and a CR right after the LF).
  // Returns the number of bytes consumed, or 0 when no LF is held.
  int TakeLine(char* destination);
  int Used() const { return (write_ - read_) & (kSize - 1); }
  void Clear() { read_ = write_ = 0; }

 private:
  char storage_[kSize] = {};
  int write_ = 0;
  int read_ = 0;
};

}  // namespace vyra
