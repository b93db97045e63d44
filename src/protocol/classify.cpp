// STUB: replaced by the classification tables.
#include "protocol/classify.h"
namespace vyra {
std::string ClassifyChannelName(const std::string& n) { return n; }
std::string NormaliseUnits(const std::string& u, const std::string&) { return u; }
void DefaultRange(const std::string&, double&, double&) {}
}  // namespace vyra
