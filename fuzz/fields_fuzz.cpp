// The small text readers every reply goes through: field splitting, numbers, decimals,
// integers; and the same text as the upload-rate list the core takes in state 6.
#include "fuzz_core.h"
#include "protocol/fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // The core reads a reply up to a NUL, and so does the wide text of it.
  const std::string_view reply = text.substr(0, text.find('\0'));

  BVL::String line(text.data(), static_cast<int>(text.size()));
  std::vector<BVL::String> fields = SplitFields(line);
  if (fields.size() != CountFields(line.View()) || fields.size() != CountFields(reply)) fuzz::Fail();
  for (BVL::String& f : fields) {
    (void)ParseNumber(f);
    std::string narrow = f.NarrowText();
    if (CountDecimals(narrow) < 0) fuzz::Fail();
    (void)ReadInt(narrow);
  }
  (void)CountDecimals(text);
  (void)ReadInt(text);
  (void)ParseNumber(text);

  // As the upload-rate list.
  fuzz::Core core(false);
  core.DriveTo(kAwaitUploadRates, false);
  const uint64_t sent = core.commands;
  if (core.Line(text) != kS_OK || core->State() != kAwaitUploadEcho || core.commands != sent + 1) fuzz::Fail();
  if (core->UploadRates().empty() != (core->UploadPeriod() == 0)) fuzz::Fail();
  if (!core->UploadRates().empty() && core->UploadPeriod() != 20000) fuzz::Fail();
  for (const auto& [period, position] : core->UploadRates())
    if (position < 0 || static_cast<size_t>(position) >= fields.size()) fuzz::Fail();
  return 0;
}
