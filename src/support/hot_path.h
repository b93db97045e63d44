#pragma once
// Marks a function of the per-line path: the reader's pass through the core into the rings,
// and the host's ReadLine. Compiled as hot and placed together in a section of their own,
// so a thread waking to one line of a paced stream touches a few code pages, not a dozen
// scattered ones, and the reader can warm the whole path (plat::WarmHotPath) while its read
// system call runs.
#define VYRA_HOT_PATH __attribute__((hot, section("vyra_hot")))
