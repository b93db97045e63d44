// Identification of the monitor from its version reply: firmware version and level, model
// name, and whether this plug-in may work with it at all.
#include <string>
#include <vector>

#include "framework/log.h"
#include "protocol/classify.h"
#include "protocol/fields.h"
#include "serial/dura_serial.h"

namespace vyra {

namespace {

constexpr const char* kBrandedName = "Brinvale VYRA";
constexpr const char16_t* kBrandMissing = u"Brinvale VYRA failed to report itself as an Brinvale VYRA.";
constexpr const char16_t* kPlainReportsBrand =
    u"Dura VYRA reported as Brinvale VYRA. Dura VYRA is not supported by Vellumar.";
constexpr const char16_t* kPlainRefused = u"Dura VYRA Monitor is not supported by Vellumar.";

std::string Narrow(BVL::String field) { return field.NarrowText(); }

}  // namespace

HResult DuraSerial::IdentifyDevice(const BVL::String& reply) {
  std::vector<BVL::String> fields = SplitFields(reply);
  if (fields.size() < 5) {
    LogEntry("", "!!! version reply smaller than expected, bailing...");
    return kE_FAIL;
  }

  std::string version = Narrow(fields[1]) + "." + Narrow(fields[2]) + "." + Narrow(fields[3]) + "." + Narrow(fields[4]);
  std::string model = fields.size() > 5 ? Narrow(fields[5]) : std::string(kFallbackModelName);
  std::string level = Narrow(fields[4]);
  const bool isVyra = model == "VYRA";
  const bool brandReported = fields.size() >= 8 && fields[7] == std::u16string_view(u"BVL");

  const char16_t* error = nullptr;
  HResult result = kS_OK;
  if (isBranded) {
    model = kBrandedName;
    if (!brandReported) error = kBrandMissing;
  } else if (isVyra) {
    error = brandReported ? kPlainReportsBrand : kPlainRefused;
    result = kE_FAIL;
  }

  {
    std::lock_guard lock(textMutex);
    firmwareVersion = std::move(version);
    firmwareLevel = std::move(level);
    deviceName = std::move(model);
  }
  if (error) {
    SetErrorText(error);
    LogEntry("!!! ", std::u16string_view(error));
  }
  return result;
}

}  // namespace vyra
