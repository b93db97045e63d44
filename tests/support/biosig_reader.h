#pragma once
// EDF+ files read back by an independent reader, BioSig's save2gdf: the header and events from
// its JSON, the samples in physical units from its CSV.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vyra::test {

struct BiosigFile {
  struct Channel {
    std::string label;
    double rate = 0;
  };
  struct Event {
    double seconds = 0, duration = 0;
    std::string text;
  };
  std::string type;  // "EDF" or "BDF"
  long records = -1;
  std::vector<Channel> channels;  // the annotation signals last
  std::vector<Event> events;
  std::vector<std::vector<double>> rows;  // one per sample, a column per data signal
};

// The reader, or empty when it is not installed.
inline std::string Save2gdf() {
#ifdef VYRA_SAVE2GDF
  if (access(VYRA_SAVE2GDF, X_OK) == 0) return VYRA_SAVE2GDF;
#endif
  return {};
}

inline BiosigFile ReadWithBiosig(const std::string& edf, const std::string& scratch) {
  BiosigFile f;
  std::string json;
  if (FILE* p = popen((Save2gdf() + " -JSON '" + edf + "' 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) json.append(buf, n);
    pclose(p);
  }
  // One "key" : value a line; every '{' inside CHANNEL or EVENT opens an entry.
  std::istringstream lines(json);
  int part = 0;  // 1 channels, 2 events
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"CHANNEL\"") != std::string::npos) part = 1;
    if (line.find("\"EVENT\"") != std::string::npos) part = 2;
    if (part && line.find('{') != std::string::npos) {
      part == 1 ? void(f.channels.emplace_back()) : void(f.events.emplace_back());
      continue;
    }
    const size_t q = line.find('"'), colon = line.find("\t: ");
    if (q == std::string::npos || colon == std::string::npos) continue;
    const std::string key = line.substr(q + 1, line.find('"', q + 1) - q - 1);
    std::string value = line.substr(colon + 3);
    if (!value.empty() && value.back() == ',') value.pop_back();
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    if (part == 0 && key == "TYPE") f.type = value;
    if (part == 0 && key == "NumberOfRecords") f.records = std::stol(value);
    if (part == 1 && key == "Label") f.channels.back().label = value;
    if (part == 1 && key == "Samplingrate") f.channels.back().rate = std::stod(value);
    if (part == 2 && key == "POS") f.events.back().seconds = std::stod(value);
    if (part == 2 && key == "DUR") f.events.back().duration = std::stod(value);
    if (part == 2 && key == "Description") f.events.back().text = value;
  }
  const std::string csv = scratch + "/biosig.csv";
  if (std::system((Save2gdf() + " -CSV '" + edf + "' '" + csv + "' >/dev/null 2>&1").c_str()) != 0) return f;
  std::ifstream in(csv);
  std::string line;
  std::getline(in, line);  // the labels
  while (std::getline(in, line)) {
    f.rows.emplace_back();
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) f.rows.back().push_back(std::stod(cell));
  }
  return f;
}

// The physical dimension fields as written: BioSig names only the units of its own table
// (it gives "?" for "uL", "degC", "cmH2O").
inline std::vector<std::string> EdfPhysicalDimensions(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string header(256, '\0');
  if (!in.read(header.data(), 256)) return {};
  const size_t count = std::stoul(header.substr(252, 4));
  header.resize(256 + count * 256);
  if (!in.read(header.data() + 256, static_cast<std::streamsize>(count * 256))) return {};
  std::vector<std::string> dims;
  for (size_t k = 0; k < count; ++k) {
    std::string d = header.substr(256 + count * 96 + k * 8, 8);
    dims.push_back(d.erase(d.find_last_not_of(' ') + 1));
  }
  return dims;
}

}  // namespace vyra::test
