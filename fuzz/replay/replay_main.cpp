// Runs a fuzz target over files: each argument is a file or a directory of files (the
// committed corpus). Built without libFuzzer, so the normal sanitizer build replays it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static void RunFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char** argv) {
  size_t files = 0;
  for (int i = 1; i < argc; ++i) {
    fs::path p(argv[i]);
    if (fs::is_directory(p)) {
      std::vector<fs::path> entries;
      for (const auto& e : fs::recursive_directory_iterator(p))
        if (e.is_regular_file()) entries.push_back(e.path());
      std::sort(entries.begin(), entries.end());
      for (const auto& e : entries) {
        RunFile(e);
        ++files;
      }
    } else {
      RunFile(p);
      ++files;
    }
  }
  std::printf("replayed %zu inputs\n", files);
  return files > 0 ? 0 : 1;  // an empty corpus is a broken test, not a pass
}
