#pragma once
// EDF+ files read back by independent readers: BioSig's save2gdf (the header and events from
// its JSON, the samples in physical units from its CSV, to six significant digits) and MNE
// (every sample at full precision).
#include <gtest/gtest.h>
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

// The test command installs the readers, so there a missing one fails the test; elsewhere it
// is skipped.
#define VYRA_NEED_READER(found, what)                                              \
  do {                                                                             \
    if (found) break;                                                              \
    if (std::getenv("VYRA_REQUIRE_READERS")) FAIL() << what << " is not installed"; \
    GTEST_SKIP() << what << " is not installed";                                   \
  } while (0)
#define VYRA_NEED_SAVE2GDF() VYRA_NEED_READER(!vyra::test::Save2gdf().empty(), "BioSig's save2gdf (biosig-tools)")
#define VYRA_NEED_MNE() VYRA_NEED_READER(vyra::test::HaveMne(), "MNE (python3-mne)")

constexpr const char* kSystemPython = "/usr/bin/python3";  // Debian's, where python3-mne lives

inline bool HaveMne() {
  static const bool have =
      std::system((std::string(kSystemPython) + " -c 'import mne' >/dev/null 2>&1").c_str()) == 0;
  return have;
}

// Each data signal's samples as MNE reads them (read_raw_bdf for a .bdf name, as users must).
struct MneSignal {
  std::string label;
  std::vector<double> values;
};
inline std::vector<MneSignal> ReadWithMne(const std::string& path) {
  const std::string script =
      "import sys, mne\n"
      "p = sys.argv[1]\n"
      "read = mne.io.read_raw_bdf if p.endswith('.bdf') else mne.io.read_raw_edf\n"
      "r = read(p, preload=True, verbose='error')\n"
      "for name, row in zip(r.ch_names, r.get_data()):\n"
      "    print(name + '\\t' + ','.join(repr(float(v)) for v in row))\n";
  std::vector<MneSignal> out;
  const std::string command = std::string(kSystemPython) + " -c \"" + script + "\" '" + path + "' 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  pclose(p);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    out.push_back({line.substr(0, tab), {}});
    std::istringstream cells(line.substr(tab + 1));
    for (std::string c; std::getline(cells, c, ',');) out.back().values.push_back(std::stod(c));
  }
  return out;
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
