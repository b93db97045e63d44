#pragma once
// The reader thread's receive buffer: 8192 bytes, at most 8191 held, cut into lines at LF in
// place. What is held always starts at the front, so a paced stream (a line per read, nothing
// left over) is read into and cut from the same few bytes every time.
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace vyra {

class ReceiveBuffer {
 public:
  static constexpr int kSize = 8192;
  static constexpr int kMaxHeld = kSize - 1;

  // Where the next Free() bytes go; a read writes there and then reports them with Filled().
  // Moves what is held to the front first, which ends every line handed out before.
  char* Space() {
    if (begin_ > 0) MoveToFront();
    return storage_ + end_;
  }
  void Filled(int n) { end_ += std::clamp(n, 0, Free()); }
  // Stores as many bytes as fit; returns how many were stored.
  int Append(const char* bytes, int n);
  // The next line, in place: `line` points at its first byte, its LF is overwritten with a
  // NUL, and the line and its LF (and a CR right after the LF) are consumed. Returns the
  // number of bytes consumed, or 0 when no LF is held. `lineLength` receives the number of
  // bytes before the LF. The line stays valid until the next Space() or Append().
  // A full buffer without any LF holds one overlong line: it is discarded, and so is the rest
  // of that line up to its LF when it arrives.
  int NextLine(const char** line, int* lineLength);
  int Used() const { return end_ - begin_; }
  int Free() const { return kMaxHeld - Used(); }
  void Clear() {
    begin_ = end_ = 0;
    skipping_ = false;
  }

 private:
  int FindLineFeed() const;  // offset from begin_ of the first LF held, or -1
  void MoveToFront();
  void Consume(int n) {
    begin_ += n;
    if (begin_ == end_) begin_ = end_ = 0;
  }

  // The positions first, on the cache line of the storage's front.
  int begin_ = 0;  // first byte held
  int end_ = 0;    // one past the last byte held
  bool skipping_ = false;  // the tail of a discarded overlong line is still arriving
  char storage_[kSize] = {};
};

// Cuts every complete line held in `buffer` and hands each reply to `handle` (bytes without
// the CR and leading white space; in the buffer they are followed by the CR and a NUL).
// Blank lines and lines without a CR before their LF are skipped; a failed reply does not
// hold back the lines behind it.
struct CutResult {
  int32_t status = 0;  // the first non-zero status of `handle`
  int dispatched = 0;  // replies handed over
};
// A template, so the reader's handler is inlined into its pass rather than called through a
// std::function from another code page.
template <class Handle>
CutResult CutLines(ReceiveBuffer& buffer, Handle&& handle) {
  const auto isAsciiSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  CutResult result;
  const char* p = nullptr;
  int length = 0;
  while (buffer.NextLine(&p, &length) > 0) {
    // The length comes from the LF itself, so a CR swallowed after the LF (an empty line
    // right behind the reply) cannot hide the reply's own CR.
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
