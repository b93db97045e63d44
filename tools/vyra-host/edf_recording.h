#pragma once
// The stream as an EDF+ recording, written with EDFlib: one signal per channel holding the
// stored integers unchanged, whole data records written as soon as every signal has filled
// one, and the plug-in's comments as annotations.
#include <chrono>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace vyra::host {

struct EdfSignal {
  std::string label;  // UTF-8; the header takes ASCII (EdfAscii)
  std::string unit;
  int32_t storedMin = 0, storedMax = 0;  // range of the stored integers
  int exponent = 0;                      // stored integer = engineering value x 10^exponent
};

struct EdfIdentity {
  std::string device, serial, firmware;
};

// EDF header fields hold printable ASCII: the plug-in's UTF-8 names and units ("µL", "°C",
// "SpO₂") get their usual EDF spellings ("uL", "degC", "SpO2"); anything else becomes '_'.
std::string EdfAscii(std::string_view utf8);

// EDFlib stores at most this many bytes of an annotation's text; longer texts are cut at a
// character boundary.
constexpr size_t kEdfAnnotationBytes = 40;
std::string EdfAnnotationText(std::string_view utf8);

class EdfRecording {
 public:
  EdfRecording() = default;
  EdfRecording(const EdfRecording&) = delete;
  EdfRecording& operator=(const EdfRecording&) = delete;
  ~EdfRecording();  // closes the file on every path out of a stream, reporting to Open's `err`

  // Every signal shares the sample period. A recording that needs 24 bits is BDF+ and is
  // written under the name `path` with ".bdf" for ".edf" (Path() says which). Returns false
  // with `error` when the file cannot be made or a range cannot be written in its header;
  // warnings go to `err`, which must outlive the recording.
  bool Open(const std::string& path, const std::vector<EdfSignal>& signals, int periodUs, const EdfIdentity& id,
            std::ostream& err, std::string& error);
  // The time of sample 0; before the first record is complete.
  void SetStart(std::chrono::system_clock::time_point start);
  void Add(size_t signal, const std::vector<int32_t>& stored);
  void Annotate(double seconds, std::string_view text);
  // Pads the signals that fell short to a whole record, holding their last value, notes the
  // padding in one annotation, closes the file and checks that it holds what was written. A
  // recording without a single sample is removed rather than left unreadable. False when the
  // file could not be written whole (the reason is on `err`).
  bool Close(std::ostream& err);

  bool IsOpen() const { return handle_ >= 0; }
  bool Bdf() const { return bdf_; }
  bool Removed() const { return removed_; }
  const std::string& Path() const { return path_; }
  int SamplesPerRecord() const { return samplesPerRecord_; }
  double RecordSeconds() const { return samplesPerRecord_ * periodUs_ / 1e6; }
  uint64_t Records() const { return records_; }

 private:
  struct Track {
    std::string label;
    int64_t low = 0, high = 0;        // stored values the header covers
    int64_t offset = 0;               // digital = stored - offset
    bool scaled = false;              // a span wider than the file's digits: mapped onto them
    int32_t digitalMin = 0, digitalMax = 0;
    std::string physicalMin, physicalMax;  // the header's texts
    std::deque<int32_t> pending;      // digital values not yet in a record
    int32_t last = 0;                 // held when the signal has to be padded
    uint64_t clamped = 0;             // samples beyond even the widened range
  };
  int32_t ToDigital(Track& t, int32_t stored) const;
  void WriteRecords();
  std::string CheckWritten() const;

  int handle_ = -1;
  bool bdf_ = false;
  bool failed_ = false;
  bool removed_ = false;
  std::string path_;
  std::ostream* err_ = nullptr;
  int64_t periodUs_ = 0;
  int samplesPerRecord_ = 0;
  uint64_t records_ = 0;
  uint64_t annotations_ = 0, annotationsRefused_ = 0;
  std::vector<Track> tracks_;
  std::vector<int> buffer_;
};

}  // namespace vyra::host
