#pragma once
// EDF+ files read back by an independent reader, BioSig's save2gdf: the header and events
// from its JSON, the samples in physical units from its CSV.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vyra::test {

struct BiosigChannel {
  std::string label;
  double rate = 0;
};
struct BiosigEvent {
  double seconds = 0, duration = 0;
  std::string text;
};
struct BiosigFile {
  std::string type;  // "EDF" or "BDF"
  long records = -1;
  std::vector<BiosigChannel> channels;  // the annotation signals included, as save2gdf lists them
  std::vector<BiosigEvent> events;
  std::vector<std::vector<double>> rows;  // one per sample, one column per data signal
};

// The reader, or empty when it is not installed.
inline std::string Save2gdf() {
#ifdef VYRA_SAVE2GDF
  if (access(VYRA_SAVE2GDF, X_OK) == 0) return VYRA_SAVE2GDF;
#endif
  return {};
}

inline std::string RunForOutput(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The physical dimension fields as written. BioSig names only the units of its own table
// (it gives "?" for "uL", "degC", "cmH2O"), so these are read from the header itself.
inline std::vector<std::string> EdfPhysicalDimensions(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string fixed(256, '\0');
  if (!in.read(fixed.data(), 256)) return {};
  const size_t count = std::stoul(fixed.substr(252, 4));
  std::string signals(count * 256, '\0');
  if (!in.read(signals.data(), static_cast<std::streamsize>(signals.size()))) return {};
  std::vector<std::string> dims;
  for (size_t k = 0; k < count; ++k) {
    std::string d = signals.substr(count * 96 + k * 8, 8);
    d.erase(d.find_last_not_of(' ') + 1);
    dims.push_back(d);
  }
  return dims;
}

// The value after `"key"\t: ` on a line of save2gdf's JSON, quotes removed.
inline std::optional<std::string> JsonValue(const std::string& line, const std::string& key) {
  const std::string mark = "\"" + key + "\"";
  size_t at = line.find(mark);
  if (at == std::string::npos) return std::nullopt;
  at = line.find(':', at + mark.size());
  if (at == std::string::npos) return std::nullopt;
  std::string v = line.substr(at + 1);
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.erase(0, 1);
  while (!v.empty() && (v.back() == ',' || v.back() == ' ' || v.back() == '\r')) v.pop_back();
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return v;
}

// Reads `edf` with save2gdf -JSON and -CSV (the CSV written under `scratch`).
inline BiosigFile ReadWithBiosig(const std::string& edf, const std::string& scratch) {
  BiosigFile f;
  std::istringstream json(RunForOutput(Save2gdf() + " -JSON '" + edf + "' 2>/dev/null"));
  enum { kTop, kChannels, kEvents } part = kTop;
  for (std::string line; std::getline(json, line);) {
    if (line.find("\"CHANNEL\"") != std::string::npos) part = kChannels;
    if (line.find("\"EVENT\"") != std::string::npos) part = kEvents;
    if (part != kTop && line.find('{') != std::string::npos) {
      if (part == kChannels) f.channels.emplace_back();
      if (part == kEvents) f.events.emplace_back();
      continue;
    }
    if (part == kTop) {
      if (auto v = JsonValue(line, "TYPE")) f.type = *v;
      if (auto v = JsonValue(line, "NumberOfRecords")) f.records = std::stol(*v);
    } else if (part == kChannels && !f.channels.empty()) {
      if (auto v = JsonValue(line, "Label")) f.channels.back().label = *v;
      if (auto v = JsonValue(line, "Samplingrate")) f.channels.back().rate = std::stod(*v);
    } else if (part == kEvents && !f.events.empty()) {
      if (auto v = JsonValue(line, "POS")) f.events.back().seconds = std::stod(*v);
      if (auto v = JsonValue(line, "DUR")) f.events.back().duration = std::stod(*v);
      if (auto v = JsonValue(line, "Description")) f.events.back().text = *v;
    }
  }
  const std::string csv = scratch + "/biosig.csv";
  RunForOutput(Save2gdf() + " -CSV '" + edf + "' '" + csv + "' 2>/dev/null");
  std::ifstream in(csv);
  std::string line;
  std::getline(in, line);  // the labels
  while (std::getline(in, line)) {
    std::vector<double> row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) row.push_back(std::stod(cell));
    if (!row.empty()) f.rows.push_back(std::move(row));
  }
  return f;
}

}  // namespace vyra::test
