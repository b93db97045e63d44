// Data lines for the host's ReadLine: "+<channel>,<v>,<v>...\n", formatted straight into
// the host's buffer, one channel per successful call in turn.
#include <algorithm>
#include <charconv>
#include <exception>
#include <mutex>

#include "hostcmd/host_commands.h"
#include "support/hot_path.h"

namespace vyra {

namespace {

// A line needs room for the header; below this nothing is written.
constexpr int32_t kMinLineLimit = 17;
// Room kept free before each value: ',' + 11 characters of INT32_MIN + '\n' + NUL, with margin.
constexpr int32_t kValueReserve = 16;
// ReadLine re-checks at least this often even without a notification.
constexpr int64_t kMaxNotificationWaitMs = 50;

}  // namespace

VYRA_HOT_PATH char* FormatDataLine(DuraSerial& device, int32_t channel, char* destination, int32_t limit, int32_t& budget) {
  if (limit <= 0 || budget == 0 || limit < kMinLineLimit) return destination;
  ChannelRings& rings = device.Rings();
  if (channel < 0 || channel >= rings.Count()) return destination;

  char* const end = destination + limit;
  char* pos = destination;
  *pos++ = '+';
  pos = std::to_chars(pos, destination + 16, static_cast<int64_t>(channel) + 1).ptr;

  int32_t taken = 0;
  while (taken < budget && (end - 1 - pos) > kValueReserve && rings.Buffered(channel) > 0) {
    const int32_t value = rings.Front(channel);
    rings.PopFront(channel);
    *pos++ = ',';
    pos = std::to_chars(pos, end, value).ptr;
    ++taken;
  }
  *pos++ = '\n';
  *pos = '\0';
  budget -= taken;
  return pos;
}

VYRA_HOT_PATH bool ReadDataLines(DuraSerial& device, char* buffer, int32_t length) {
  if (length <= 0) return true;
  if (!buffer) return false;
  buffer[0] = '\0';
  char* write = buffer;
  ChannelRings& rings = device.Rings();
  std::lock_guard<std::mutex> consumer(rings.Consumer());

  const int32_t count = rings.Count();
  auto advance = [&](int32_t c) {
    rings.nextLine.store(c < count - 1 ? c + 1 : 0, std::memory_order_relaxed);
  };

  for (;;) {
    // Lines already written hold samples taken from the rings: hand them over rather than
    // dropping them when sampling stops or the channel is emptied between two lines.
    const bool wroteLines = write != buffer;
    if (!device.IsSampling() || count == 0) {
      if (wroteLines) advance(rings.nextLine.load(std::memory_order_relaxed));
      return wroteLines;
    }
    int32_t c = rings.nextLine.load(std::memory_order_relaxed);
    if (c < 0 || c >= count) c = 0;
    int32_t n = rings.Buffered(c);
    if (n == 0) {
      if (wroteLines) advance(c);
      return wroteLines;
    }
    const int32_t spaceLeft = length - static_cast<int32_t>(write - buffer);
    const int32_t limit = spaceLeft < kMaxLineLength ? spaceLeft : kMaxLineLength;
    char* next = FormatDataLine(device, c, write, limit, n);
    if (n == 0 || next == write) {
      advance(c);
      return true;
    }
    write = next;
  }
}

void DiscardSamples(DuraSerial& device) {
  ChannelRings& rings = device.Rings();
  std::lock_guard<std::mutex> consumer(rings.Consumer());
  const int32_t count = rings.Count();
  for (int32_t i = 0; i < count; ++i) rings.At(i)->Discard();
}

VYRA_HOT_PATH bool ReadLine(DuraSerial& device, char* buffer, int32_t size, int32_t timeoutMs) {
  try {
    // The clock is read once per wait, and not at all when data is waiting: a host reading
    // a paced stream waits once per line.
    int64_t deadline = -1;
    for (;;) {
      // Taken before the attempt so data that arrives during it ends the next wait at once.
      const uint32_t seen = device.HostSequence();
      if (ReadDataLines(device, buffer, size)) return true;
      if (!buffer) return false;
      const int64_t now = NowMs();
      if (deadline < 0) deadline = now + timeoutMs;
      if (now >= deadline) return false;
      device.WaitForHostNotificationUntil(seen, std::min(deadline, now + kMaxNotificationWaitMs));
    }
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace vyra
