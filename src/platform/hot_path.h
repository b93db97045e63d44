#pragma once
// Warming the per-line path's code (the functions marked VYRA_HOT_PATH) before it runs.

// The backends' part of that path (the reader's wait and read, the host's wake word) goes
// into the same section as VYRA_HOT_PATH (support/hot_path.h), which this layer cannot see.
#define VYRA_PLATFORM_HOT_PATH __attribute__((hot, section("vyra_hot")))

namespace vyra::plat {

// Asks for every cache line of the path without waiting for them: called just before a read
// system call, their misses overlap it instead of stalling the line's handling one by one.
void WarmHotPath() noexcept;

}  // namespace vyra::plat
