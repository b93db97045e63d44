#include "serial/receive_buffer.h"

#include <algorithm>

#include "support/hot_path.h"

namespace vyra {

// Byte loops rather than memchr and memmove: a pass moves a line or two, and each library
// routine would be one more cold code page for a reader waking to each line.

// Only when a line was left unfinished: a paced stream holds nothing between reads.
void ReceiveBuffer::MoveToFront() {
  const int used = Used();
  for (int i = 0; i < used; ++i) storage_[i] = storage_[begin_ + i];
  begin_ = 0;
  end_ = used;
}

int ReceiveBuffer::Append(const char* bytes, int n) {
  n = std::clamp(n, 0, Free());
  char* space = Space();
  for (int i = 0; i < n; ++i) space[i] = bytes[i];
  Filled(n);
  return n;
}

VYRA_HOT_PATH int ReceiveBuffer::FindLineFeed() const {
  for (int i = begin_; i < end_; ++i)
    if (storage_[i] == '\n') return i - begin_;
  return -1;
}

VYRA_HOT_PATH int ReceiveBuffer::NextLine(const char** line, int* lineLength) {
  int lf = FindLineFeed();
  if (skipping_) {
    if (lf < 0) {
      Consume(Used());
      return 0;
    }
    Consume(lf + 1);
    skipping_ = false;
    lf = FindLineFeed();
  }
  if (lf < 0) {
    if (Used() == kMaxHeld) {  // would never drain otherwise
      Consume(Used());
      skipping_ = true;
    }
    return 0;
  }
  char* start = storage_ + begin_;
  start[lf] = '\0';
  int consumed = lf + 1;
  if (consumed < Used() && start[consumed] == '\r') ++consumed;
  Consume(consumed);
  *line = start;
  *lineLength = lf;
  return consumed;
}

}  // namespace vyra
