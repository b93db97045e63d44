#pragma once
// Warming the per-line path's code (the functions marked VYRA_HOT_PATH) before it runs.

namespace vyra::plat {

// Asks for every cache line of the path without waiting for them: called just before a read
// system call, their misses overlap it instead of stalling the line's handling one by one.
void WarmHotPath() noexcept;

}  // namespace vyra::plat
