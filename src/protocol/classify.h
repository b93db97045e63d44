#pragma once
// The measurement vocabulary: device channel names, unit display forms, default ranges.
#include <string>
#include <string_view>

namespace vyra {

// Model name kept when a version reply names no model.
inline constexpr std::string_view kFallbackModelName = "Unknown Dura Device";

std::string ClassifyChannelName(const std::string& deviceName);
std::string NormaliseUnits(const std::string& unit, const std::string& displayName);
void DefaultRange(const std::string& displayName, double& maximum, double& minimum);

}  // namespace vyra
