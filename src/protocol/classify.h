#pragma once
// The measurement vocabulary: device channel names, unit display forms, default ranges.
#include <string>

namespace vyra {

std::string ClassifyChannelName(const std::string& deviceName);
std::string NormaliseUnits(const std::string& unit, const std::string& displayName);
void DefaultRange(const std::string& displayName, double& maximum, double& minimum);

}  // namespace vyra
