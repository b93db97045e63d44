#pragma once
// The resources this module carries for the host: the control lists (RCDATA 103 and 105)
// and the string table (strings 101 to 104), all under one English language.
#include <cstddef>
#include <span>

#include "support/bvl_string.h"

namespace vyra {

inline constexpr unsigned kResourceTypeString = 6;   // RT_STRING: id is the block number
inline constexpr unsigned kResourceTypeRcData = 10;  // RT_RCDATA
inline constexpr unsigned kDeviceControlListId = 103;
inline constexpr unsigned kInputAmpControlListId = 105;

// The bytes of a resource of this module; empty when there is none.
std::span<const std::byte> FindModuleResource(unsigned type, unsigned id);

// String `id` of this module's string table; empty when missing.
BVL::String ModuleString(unsigned id);

}  // namespace vyra
