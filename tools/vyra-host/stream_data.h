#pragma once
// Host-side handling of what the plug-in hands out: base-scaling texts, data lines, and the
// CSV rows and comment records the stream command writes.
#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vyra::host {

// "Smin,Vmin;Smax,Vmax;unit;p;": stored integers are display values times 10^p.
struct BaseScaling {
  int32_t scaledMin = 0, scaledMax = 0;
  std::string displayMin, displayMax;  // as the device wrote them (fraction may be dropped)
  std::string unit;
  int exponent = 0;
  double Divisor() const;                    // 10^exponent
  double Min() const { return scaledMin / Divisor(); }
  double Max() const { return scaledMax / Divisor(); }
  double Resolution() const { return 1.0 / Divisor(); }
};
std::optional<BaseScaling> ParseBaseScaling(std::string_view text);

// One data line "+<channel>,v,v,...": channel counted from 1, values as stored.
struct DataLine {
  int channel = 0;
  std::vector<int32_t> values;
};
std::optional<DataLine> ParseDataLine(std::string_view line);

// Splits a ReadLine buffer into its lines; a line that does not parse is counted in `bad`.
void ParseDataBuffer(std::string_view buffer, std::vector<DataLine>& out, uint64_t& bad);

// Assembles rows of equally clocked channels: row i is written once every channel has its
// i-th sample. Finish() writes the rows some channel never completed, with empty cells.
class CsvWriter {
 public:
  struct Column {
    int channel = 0;  // host channel number
    std::string title;
    double divisor = 1;  // stored value / divisor = engineering value
    int decimals = 0;
  };
  CsvWriter(std::ostream& out, std::vector<Column> columns, double periodSeconds);
  void WriteHeader();
  // Returns false for a channel that is not a column (the values are ignored).
  bool Add(int channel, const std::vector<int32_t>& values);
  void Finish();
  // Finishes the rows of the samples so far; the next rows count from `seconds` (sampling
  // started again after a gap).
  void Restart(double seconds);
  uint64_t RowsWritten() const { return rows_; }

 private:
  void WriteRow(bool partial);
  std::ostream& out_;
  std::vector<Column> columns_;
  std::vector<std::deque<int32_t>> pending_;
  double period_;
  uint64_t rows_ = 0;
  double base_ = 0;
  uint64_t baseRow_ = 0;
};

// Quotes a CSV field when it holds a separator, a quote or a line break.
std::string CsvField(std::string_view text);
// Splits one CSV record (no line breaks inside fields).
std::vector<std::string> SplitCsvRecord(std::string_view line);

// A comment the plug-in placed in the recording.
struct Comment {
  int channel = -1;     // recording channel from 0, -1 when the plug-in found none
  std::string channelName;  // that channel's title; empty for none
  int32_t position = 0;  // sample position in the record
  int32_t record = 0;
  double seconds = 0;   // position times the recording's sample interval
  std::string text;     // UTF-8
};
// The side file next to a CSV: "time_s,sample,channel,text" (channel: its title), one
// comment a line.
void WriteCommentsHeader(std::ostream& out);
void WriteComment(std::ostream& out, const Comment& c);
std::vector<Comment> ReadComments(std::istream& in);

// One cuff cycle as the plug-in's comments tell it: its results, or the text that says why it
// has none.
struct CycleRow {
  int index = 0;       // from 1
  double seconds = 0;  // time of the cycle's first comment
  std::string systolic, diastolic;  // mmHg, as the device wrote them
  std::string error;
  bool Valid() const { return error.empty(); }
};

// Gathers the comments into cycles: a systolic result opens one and its diastolic result
// completes it; an error or note comment is a cycle without results. Rows go to `out` (when
// given) as the cycles complete.
class CycleTable {
 public:
  explicit CycleTable(std::ostream* out = nullptr) : out_(out) {}
  void WriteHeader();
  void Add(const Comment& c);
  void Finish();  // a cycle still waiting for its second result
  // A row that is not a cycle: no number, the text in the error column ("signal lost").
  void Mark(double seconds, const std::string& text);
  const std::vector<CycleRow>& Rows() const { return rows_; }
  size_t ValidCount() const;
  // "cycles: N seen, N valid, N error(s); systolic M ± SD mmHg, diastolic M ± SD mmHg"
  std::string Summary() const;

 private:
  void Complete(CycleRow row);
  std::ostream* out_;
  std::vector<CycleRow> rows_;
  std::optional<CycleRow> open_;
};

}  // namespace vyra::host
