#pragma once
// Entries of a directory such as /proc/self/task or /proc/self/fd, without "." and "..":
// threads and descriptors a test can count before and after.
#include <dirent.h>

namespace vyra::test {

inline int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

}  // namespace vyra::test
