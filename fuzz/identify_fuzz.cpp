// The version reply: identification, the texts it stores and the message it leaves.
#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  const bool branded = in.Byte() & 1;
  std::string_view reply = in.Rest();
  auto d = fuzz::MakeDevice(branded);
  const HResult hr = d->IdentifyDevice(BVL::String(reply.data(), static_cast<int>(reply.size())));
  if (hr != kS_OK && hr != kE_FAIL) __builtin_trap();
  if (hr == kS_OK && branded && d->DeviceName() != "Brinvale VYRA") __builtin_trap();
  (void)d->FirmwareVersion();
  (void)d->FirmwareLevel();
  (void)d->TakeErrorText();
  // The same reply as the dispatcher sees it in state 3.
  d->acquisitionState = kAwaitVersion;
  (void)fuzz::Feed(*d, reply);
  return 0;
}
