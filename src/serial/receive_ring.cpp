#include "serial/receive_ring.h"

#include <algorithm>
#include <cstring>

namespace vyra {

int ReceiveRing::Append(const char* bytes, int n) {
  n = std::clamp(n, 0, Free());
  const int first = std::min(n, kSize - write_);
  std::memcpy(storage_ + write_, bytes, static_cast<size_t>(first));
  std::memcpy(storage_, bytes + first, static_cast<size_t>(n - first));
  write_ = (write_ + n) & (kSize - 1);
  return n;
}

int ReceiveRing::FindLineFeed() const {
  const int used = Used();
  const int first = std::min(used, kSize - read_);
  if (const void* p = std::memchr(storage_ + read_, '\n', static_cast<size_t>(first)))
    return static_cast<int>(static_cast<const char*>(p) - (storage_ + read_));
  if (const void* p = std::memchr(storage_, '\n', static_cast<size_t>(used - first)))
    return first + static_cast<int>(static_cast<const char*>(p) - storage_);
  return -1;
}

int ReceiveRing::TakeLine(char* destination, int* lineLength) {
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
  const int first = std::min(lf, kSize - read_);
  std::memcpy(destination, storage_ + read_, static_cast<size_t>(first));
  std::memcpy(destination + first, storage_, static_cast<size_t>(lf - first));
  destination[lf] = '\0';
  int consumed = lf + 1;
  if (consumed < Used() && storage_[(read_ + consumed) & (kSize - 1)] == '\r') ++consumed;
  Consume(consumed);
  if (lineLength) *lineLength = lf;
  return consumed;
}

namespace {
bool IsAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

CutResult CutLines(ReceiveRing& ring, char* scratch, const std::function<int32_t(const char*, int)>& handle) {
  CutResult result;
  int length = 0;
  while (ring.TakeLine(scratch, &length) > 0) {
    // The length comes from the LF itself, so a CR swallowed after the LF (an empty line
    // right behind the reply) cannot hide the reply's own CR.
    const char* p = scratch;
    int n = length;
    while (n > 0 && IsAsciiSpace(*p)) {
      ++p;
      --n;
    }
    if (n < 2 || p[n - 1] != '\r') continue;  // blank, or not ended by CR LF
    ++result.dispatched;
    int32_t status = handle(p, n - 1);
    if (status != 0 && result.status == 0) result.status = status;
  }
  return result;
}

}  // namespace vyra
