// Identification of the monitor from its version reply: firmware version and level, model
// name, and whether this plug-in may work with it at all.
#include <string>
#include <vector>

#include "protocol/classify.h"
#include "protocol/core.h"
#include "protocol/fields.h"

namespace vyra {

namespace {

constexpr const char* kBrandedName = "Brinvale VYRA";
constexpr const char16_t* kBrandMissing = u"Brinvale VYRA failed to report itself as an Brinvale VYRA.";
constexpr const char16_t* kPlainReportsBrand =
    u"Dura VYRA reported as Brinvale VYRA. Dura VYRA is not supported by Vellumar.";
constexpr const char16_t* kPlainRefused = u"Dura VYRA Monitor is not supported by Vellumar.";

std::string Narrow(BVL::String field) { return field.NarrowText(); }

}  // namespace

HResult ProtocolCore::IdentifyDevice(const BVL::String& reply) {
  std::vector<BVL::String> fields = SplitFields(reply);
  if (fields.size() < 5) {
    out_.Note("", BVL::String(u"!!! version reply smaller than expected, bailing..."));
    return kE_FAIL;
  }

  std::string version = Narrow(fields[1]) + "." + Narrow(fields[2]) + "." + Narrow(fields[3]) + "." + Narrow(fields[4]);
  std::string model = fields.size() > 5 ? Narrow(fields[5]) : std::string(kFallbackModelName);
  std::string level = Narrow(fields[4]);
  const bool isVyra = model == "VYRA";
  const bool brandReported = fields.size() >= 8 && fields[7] == std::u16string_view(u"BVL");

  const char16_t* error = nullptr;
  HResult result = kS_OK;
  if (isBranded_) {
    model = kBrandedName;
    if (!brandReported) error = kBrandMissing;
  } else if (isVyra) {
    error = brandReported ? kPlainReportsBrand : kPlainRefused;
    result = kE_FAIL;
  }

  firmwareVersion_ = std::move(version);
  firmwareLevel_ = std::move(level);
  deviceName_ = std::move(model);
  if (error) {
    errorText_ = error;
    out_.Note("!!! ", errorText_);
  }
  return result;
}

}  // namespace vyra
