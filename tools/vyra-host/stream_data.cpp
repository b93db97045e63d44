#include "stream_data.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <utility>

namespace vyra::host {

namespace {

bool ToInt(std::string_view s, int32_t& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

}  // namespace

double BaseScaling::Divisor() const { return std::pow(10.0, exponent); }

std::optional<BaseScaling> ParseBaseScaling(std::string_view text) {
  auto groups = Split(text, ';');
  // Four groups and the empty rest after the closing ';'.
  if (groups.size() != 5 || !groups[4].empty()) return std::nullopt;
  auto lo = Split(groups[0], ','), hi = Split(groups[1], ',');
  if (lo.size() != 2 || hi.size() != 2) return std::nullopt;
  BaseScaling b;
  int32_t exponent = 0;
  if (!ToInt(lo[0], b.scaledMin) || !ToInt(hi[0], b.scaledMax) || !ToInt(groups[3], exponent)) return std::nullopt;
  if (exponent < 0 || exponent > 9) return std::nullopt;
  b.exponent = exponent;
  b.displayMin = std::string(lo[1]);
  b.displayMax = std::string(hi[1]);
  b.unit = std::string(groups[2]);
  return b;
}

std::optional<DataLine> ParseDataLine(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (line.size() < 2 || line[0] != '+') return std::nullopt;
  auto fields = Split(line.substr(1), ',');
  DataLine d;
  int32_t channel = 0;
  if (!ToInt(fields[0], channel) || channel < 1) return std::nullopt;
  d.channel = channel;
  d.values.reserve(fields.size() - 1);
  for (size_t i = 1; i < fields.size(); ++i) {
    int32_t v = 0;
    if (!ToInt(fields[i], v)) return std::nullopt;
    d.values.push_back(v);
  }
  return d;
}

void ParseDataBuffer(std::string_view buffer, std::vector<DataLine>& out, uint64_t& bad) {
  while (!buffer.empty()) {
    size_t end = buffer.find('\n');
    std::string_view line = buffer.substr(0, end);
    buffer.remove_prefix(end == std::string_view::npos ? buffer.size() : end + 1);
    if (line.empty()) continue;
    if (auto d = ParseDataLine(line)) {
      out.push_back(std::move(*d));
    } else {
      ++bad;
    }
  }
}

CsvWriter::CsvWriter(std::ostream& out, std::vector<Column> columns, double periodSeconds)
    : out_(out), columns_(std::move(columns)), pending_(columns_.size()), period_(periodSeconds) {}

void CsvWriter::WriteHeader() {
  out_ << "time_s";
  for (const auto& c : columns_) out_ << ',' << CsvField(c.title);
  out_ << '\n';
}

bool CsvWriter::Add(int channel, const std::vector<int32_t>& values) {
  size_t k = 0;
  while (k < columns_.size() && columns_[k].channel != channel) ++k;
  if (k == columns_.size()) return false;
  pending_[k].insert(pending_[k].end(), values.begin(), values.end());
  for (;;) {
    for (const auto& p : pending_) {
      if (p.empty()) return true;
    }
    WriteRow(false);
  }
}

void CsvWriter::Finish() {
  for (;;) {
    bool any = false;
    for (const auto& p : pending_) any = any || !p.empty();
    if (!any) break;
    WriteRow(true);
  }
  out_.flush();
}

void CsvWriter::Restart(double seconds) {
  Finish();
  base_ = seconds;
  baseRow_ = rows_;
}

void CsvWriter::WriteRow(bool partial) {
  char cell[64];
  std::snprintf(cell, sizeof cell, "%.6f", base_ + static_cast<double>(rows_ - baseRow_) * period_);
  out_ << cell;
  for (size_t k = 0; k < columns_.size(); ++k) {
    out_ << ',';
    if (partial && pending_[k].empty()) continue;
    std::snprintf(cell, sizeof cell, "%.*f", columns_[k].decimals, pending_[k].front() / columns_[k].divisor);
    out_ << cell;
    pending_[k].pop_front();
  }
  out_ << '\n';
  ++rows_;
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string q = "\"";
  for (char c : text) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + '"';
}

std::vector<std::string> SplitCsvRecord(std::string_view line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

void WriteCommentsHeader(std::ostream& out) { out << "time_s,sample,channel,text\n"; }

void WriteComment(std::ostream& out, const Comment& c) {
  char t[64];
  std::snprintf(t, sizeof t, "%.6f", c.seconds);
  out << t << ',' << c.position << ',' << CsvField(c.channelName) << ',' << CsvField(c.text) << '\n';
  out.flush();
}

std::vector<Comment> ReadComments(std::istream& in) {
  std::vector<Comment> comments;
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (header) {
      header = false;
      continue;
    }
    auto f = SplitCsvRecord(line);
    if (f.size() != 4) continue;
    Comment c;
    try {
      c.seconds = std::stod(f[0]);
      c.position = std::stoi(f[1]);
    } catch (const std::exception&) {
      continue;
    }
    c.channelName = f[2];
    c.text = f[3];
    comments.push_back(std::move(c));
  }
  return comments;
}

namespace {

// The value in "<prefix><value> mmHg", or nullopt for another text.
std::optional<std::string> ResultValue(std::string_view text, std::string_view prefix) {
  constexpr std::string_view kUnit = " mmHg";
  if (text.size() < prefix.size() + kUnit.size() || text.substr(0, prefix.size()) != prefix ||
      text.substr(text.size() - kUnit.size()) != kUnit) {
    return std::nullopt;
  }
  return std::string(text.substr(prefix.size(), text.size() - prefix.size() - kUnit.size()));
}

std::optional<double> Number(const std::string& s) {
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::string MeanAndSd(const std::vector<double>& v) {
  double mean = 0;
  for (double x : v) mean += x;
  mean /= static_cast<double>(v.size());
  char b[96];
  if (v.size() < 2) {
    std::snprintf(b, sizeof b, "%.1f", mean);  // one value has no spread
    return b;
  }
  double ss = 0;
  for (double x : v) ss += (x - mean) * (x - mean);
  std::snprintf(b, sizeof b, "%.1f \xC2\xB1 %.1f", mean, std::sqrt(ss / static_cast<double>(v.size() - 1)));
  return b;
}

}  // namespace

void CycleTable::WriteHeader() {
  if (out_) *out_ << "cycle,time_s,systolic_mmHg,diastolic_mmHg,error\n" << std::flush;
}

void CycleTable::Add(const Comment& c) {
  if (auto v = ResultValue(c.text, "Systolic BP = ")) {
    if (open_) Complete(*std::exchange(open_, std::nullopt));
    open_ = CycleRow{0, c.seconds, *v, "", ""};
  } else if (auto d = ResultValue(c.text, "Diastolic BP = ")) {
    CycleRow row = open_ ? *std::exchange(open_, std::nullopt) : CycleRow{0, c.seconds, "", "", ""};
    row.diastolic = *d;
    Complete(std::move(row));
  } else if (c.text.rfind("error: ", 0) == 0 || c.text.rfind("note: ", 0) == 0) {
    if (open_) Complete(*std::exchange(open_, std::nullopt));
    Complete(CycleRow{0, c.seconds, "", "", c.text});
  }
}

void CycleTable::Finish() {
  if (open_) Complete(*std::exchange(open_, std::nullopt));
}

void CycleTable::Mark(double seconds, const std::string& text) {
  Finish();
  if (!out_) return;
  char t[64];
  std::snprintf(t, sizeof t, "%.6f", seconds);
  *out_ << ',' << t << ",,," << CsvField(text) << '\n' << std::flush;
}

void CycleTable::Complete(CycleRow row) {
  row.index = static_cast<int>(rows_.size()) + 1;
  if (row.error.empty()) {
    if (row.systolic.empty()) row.error = "no systolic result";
    else if (row.diastolic.empty()) row.error = "no diastolic result";
    else if (!Number(row.systolic) || !Number(row.diastolic)) row.error = "result not a number";
  }
  if (out_) {
    char t[64];
    std::snprintf(t, sizeof t, "%.6f", row.seconds);
    *out_ << row.index << ',' << t << ',' << CsvField(row.systolic) << ',' << CsvField(row.diastolic) << ','
          << CsvField(row.error) << '\n'
          << std::flush;
  }
  rows_.push_back(std::move(row));
}

size_t CycleTable::ValidCount() const {
  size_t n = 0;
  for (const auto& r : rows_) n += r.Valid();
  return n;
}

std::string CycleTable::Summary() const {
  std::vector<double> sys, dia;
  for (const auto& r : rows_) {
    if (!r.Valid()) continue;
    sys.push_back(*Number(r.systolic));
    dia.push_back(*Number(r.diastolic));
  }
  std::string s = "cycles: " + std::to_string(rows_.size()) + " seen, " + std::to_string(sys.size()) + " valid, " +
                  std::to_string(rows_.size() - sys.size()) + " error(s)";
  if (!sys.empty()) {
    s += "; systolic " + MeanAndSd(sys) + " mmHg, diastolic " + MeanAndSd(dia) + " mmHg";
    s += sys.size() > 1 ? " (mean \xC2\xB1 SD)" : " (one valid cycle)";
  }
  return s;
}

}  // namespace vyra::host
