// The version reply as the core takes it in state 3: identification, the texts it stores,
// the message it leaves and the state it moves to.
#include "fuzz_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  const bool branded = in.Byte() & 1;
  const std::string_view reply = in.Rest();
  fuzz::Core core(branded);
  core.DriveTo(kAwaitVersion, false);
  if (core->State() != kAwaitVersion) fuzz::Fail();
  const HResult hr = core.Line(reply);
  const int32_t next = branded ? kAwaitBrandEcho : kAwaitParameters;
  // Only a reply beginning with 'V' is the answer; it moves the state on unless refused.
  if (reply.empty() || reply[0] != 'V') {
    if (hr != kS_OK || core->State() != kAwaitVersion || !core->DeviceName().empty()) fuzz::Fail();
    return 0;
  }
  if ((hr == kS_OK) != (core->State() == next)) fuzz::Fail();
  if (hr == kS_OK && branded && core->DeviceName() != "Brinvale VYRA") fuzz::Fail();
  if (hr == kS_OK && core->FirmwareVersion().empty()) fuzz::Fail();  // at least "..."
  (void)core->FirmwareLevel();
  (void)core->TakeErrorText();
  if (!core->ErrorText().IsEmpty()) fuzz::Fail();  // handed out once
  return 0;
}
