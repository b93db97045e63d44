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
  // Returns the number of bytes consumed, or 0 when no LF is held. `lineLength`, when given,
  // receives the number of bytes before the LF.
  // A full ring without any LF holds one overlong line: it is discarded, and so is the rest
  // of that line up to its LF when it arrives.
  int TakeLine(char* destination, int* lineLength = nullptr);
  int Used() const { return (write_ - read_) & (kSize - 1); }
  int Free() const { return kMaxHeld - Used(); }
  void Clear() {
    read_ = write_ = 0;
    skipping_ = false;
  }

 private:
  int FindLineFeed() const;  // offset from read_ of the first LF held, or -1
  void Consume(int n) { read_ = (read_ + n) & (kSize - 1); }

  char storage_[kSize] = {};
  int write_ = 0;
  int read_ = 0;
  bool skipping_ = false;  // the tail of a discarded overlong line is still arriving
};

// Cuts every complete line held in `ring` and hands each reply to `handle` (bytes without
// the CR and leading white space; in the buffer they are followed by the CR and a NUL).
// Blank lines and lines without a CR before their LF are skipped; a failed reply does not
// hold back the lines behind it. `scratch` holds at least ReceiveRing::kSize bytes.
struct CutResult {
  int32_t status = 0;  // the first non-zero status of `handle`
  int dispatched = 0;  // replies handed over
};
// A template, so the reader's handler is inlined into its pass rather than called through a
// std::function from another code page.
template <class Handle>
CutResult CutLines(ReceiveRing& ring, char* scratch, Handle&& handle) {
  const auto isAsciiSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  CutResult result;
  int length = 0;
  while (ring.TakeLine(scratch, &length) > 0) {
    // The length comes from the LF itself, so a CR swallowed after the LF (an empty line
    // right behind the reply) cannot hide the reply's own CR.
    const char* p = scratch;
    int n = length;
    while (n > 0 && isAsciiSpace(*p)) {
      ++p;
      --n;
    }
    if (n < 2 || p[n - 1] != '\r') continue;  // blank, or not ended by CR LF
    ++result.dispatched;
    const int32_t status = handle(p, n - 1);
    if (status != 0 && result.status == 0) result.status = status;
  }
  return result;
}

}  // namespace vyra
