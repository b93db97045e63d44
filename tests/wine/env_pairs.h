#pragma once
// The test doubles take their configuration from one environment variable each:
// "KEY<sep>VALUE;KEY<sep>VALUE;...". Items without the separator are skipped.
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

inline std::vector<std::pair<std::string, std::string>> EnvPairs(const char* variable, char separator) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const char* spec = std::getenv(variable);
  if (!spec) return pairs;
  std::string s(spec);
  size_t start = 0;
  while (start < s.size()) {
    size_t end = s.find(';', start);
    if (end == std::string::npos) end = s.size();
    std::string item = s.substr(start, end - start);
    size_t at = item.find(separator);
    if (at != std::string::npos) pairs.emplace_back(item.substr(0, at), item.substr(at + 1));
    start = end + 1;
  }
  return pairs;
}
