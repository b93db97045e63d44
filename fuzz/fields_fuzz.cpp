// The small text readers every reply goes through: field splitting, numbers, decimals,
// integers and the upload-rate list.
#include "fuzz_device.h"
#include "protocol/fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  static auto device = fuzz::MakeDevice(false);
  std::string_view text(reinterpret_cast<const char*>(data), size);

  BVL::String line(text.data(), static_cast<int>(text.size()));
  std::vector<BVL::String> fields = SplitFields(line);
  if (fields.size() != CountFields(line.View())) __builtin_trap();
  for (BVL::String& f : fields) {
    float v = ParseNumber(f);
    (void)v;
    std::string narrow = f.NarrowText();
    if (CountDecimals(narrow) < 0) __builtin_trap();
    (void)ReadInt(narrow);
  }
  (void)CountDecimals(text);
  (void)ReadInt(text);
  (void)ParseNumber(text);

  device->uploadRates.clear();
  const bool stored = device->ParseUploadRates(line);
  if (stored != !device->uploadRates.empty()) __builtin_trap();
  if (stored && device->uploadPeriod != 20000) __builtin_trap();
  for (const auto& [period, position] : device->uploadRates)
    if (position < 0 || static_cast<size_t>(position) >= fields.size()) __builtin_trap();
  return 0;
}
