#pragma once
#include <cstdint>

namespace vyra {

// COM-style result codes used inside the plug-in.
using HResult = int32_t;
inline constexpr HResult kS_OK = 0;
inline constexpr HResult kE_FAIL = static_cast<HResult>(0x80004005u);
inline constexpr HResult kE_NOINTERFACE = static_cast<HResult>(0x80004002u);
inline constexpr HResult kE_POINTER = static_cast<HResult>(0x80004003u);
inline constexpr HResult kE_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);

}  // namespace vyra
