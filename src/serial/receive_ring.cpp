#include "serial/receive_ring.h"

#include <algorithm>

#include "support/hot_path.h"

namespace vyra {

// Byte loops rather than memchr and memcpy: a pass moves a line or two, and each library
// routine would be one more cold code page for a reader waking to each line.
VYRA_HOT_PATH int ReceiveRing::Append(const char* bytes, int n) {
  n = std::clamp(n, 0, Free());
  for (int i = 0; i < n; ++i) storage_[(write_ + i) & (kSize - 1)] = bytes[i];
  write_ = (write_ + n) & (kSize - 1);
  return n;
}

int ReceiveRing::FindLineFeed() const {
  const int used = Used();
  for (int i = 0; i < used; ++i)
    if (storage_[(read_ + i) & (kSize - 1)] == '\n') return i;
  return -1;
}

VYRA_HOT_PATH int ReceiveRing::TakeLine(char* destination, int* lineLength) {
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
  for (int i = 0; i < lf; ++i) destination[i] = storage_[(read_ + i) & (kSize - 1)];
  destination[lf] = '\0';
  int consumed = lf + 1;
  if (consumed < Used() && storage_[(read_ + consumed) & (kSize - 1)] == '\r') ++consumed;
  Consume(consumed);
  if (lineLength) *lineLength = lf;
  return consumed;
}

}  // namespace vyra
