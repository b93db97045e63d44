// Received bytes, in bursts, through the receive pass and the reply dispatcher, starting from
// any acquisition state; the host drains the channels between bursts as ReadLine would.
//
// Input: flags, start state, burst size, host buffer size, then the bytes on the wire.
#include <cstring>
#include <vector>

#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  const uint8_t flags = in.Byte();
  const int32_t state = fuzz::kStates[in.Byte() % std::size(fuzz::kStates)];
  const size_t burst = 1 + in.Byte() * 33u;  // 1 .. 8416 bytes
  const int32_t hostSize = static_cast<int32_t>(in.Byte()) * 9 - 64;  // includes sizes <= 0

  // Below kReady the device has no channels yet and is cheap to make afresh.
  std::unique_ptr<DuraSerial> fresh;
  DuraSerial* d = nullptr;
  if (state >= kReady) {
    d = fuzz::ReusedSamplingDevice(flags & 1, flags & 2);
    if (!d) __builtin_trap();
  } else {
    fresh = fuzz::MakeDevice(flags & 1);
    d = fresh.get();
  }
  d->acquisitionState = state;

  std::vector<char> host(hostSize > 0 ? static_cast<size_t>(hostSize) : 1);
  ReceiveRing& ring = DuraSerialTestAccess::LineBuffer(*d);
  while (!in.Empty()) {
    // The reader takes only what the ring has room for, as the real read does.
    const size_t room = static_cast<size_t>(ReceiveRing::kMaxHeld - ring.Used());
    std::string_view bytes = in.Take(std::min(burst, room > 0 ? room : 1));
    ring.Append(bytes.data(), static_cast<int>(bytes.size()));
    d->ReceivePass();
    if (ring.Used() > ReceiveRing::kMaxHeld) __builtin_trap();
    if (flags & 4) {
      host[0] = 'x';
      if (d->ReadDataLines(host.data(), hostSize) && hostSize > 0 &&
          std::memchr(host.data(), '\0', host.size()) == nullptr)
        __builtin_trap();  // a delivered text is terminated within the buffer
    }
  }
  return 0;
}
