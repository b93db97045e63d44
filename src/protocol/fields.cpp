// STUB: replaced by the reply protocol.
#include "protocol/fields.h"
namespace vyra {
std::vector<BVL::String> SplitFields(const BVL::String&) { return {}; }
float ParseNumber(const BVL::String&) { return 0; }
float ParseNumber(std::string_view) { return 0; }
int32_t CountDecimals(std::string_view) { return 0; }
int32_t ReadInt(std::string_view) { return 0; }
int32_t SaturateToInt32(double) { return 0; }
}  // namespace vyra
