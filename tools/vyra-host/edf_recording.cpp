#include "edf_recording.h"

#include <edflib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <ostream>

namespace vyra::host {

namespace {

// Room for two annotations per data record: a short stream with cuff results close together
// must not lose any (EDFlib keeps only what the annotation signals have room for).
constexpr int kAnnotationSignals = 2;
constexpr int64_t kMaxRecordUs = 60'000'000;  // EDFlib's longest data record
constexpr size_t kHeaderNumber = 8;             // characters of a header's number field

int64_t Pow10(int e) {
  int64_t p = 1;
  while (e-- > 0) p *= 10;
  return p;
}
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t CeilDiv(int64_t a, int64_t b) { return -FloorDiv(-a, b); }

// `v` units of 10^-decimals as decimal text, computed in integers so no digit is a rounding.
std::string Decimal(int64_t v, int decimals) {
  std::string digits = std::to_string(v < 0 ? -static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
  const size_t k = static_cast<size_t>(decimals);
  if (k > 0) {
    if (digits.size() <= k) digits.insert(0, k + 1 - digits.size(), '0');
    digits.insert(digits.size() - k, ".");
  }
  return (v < 0 ? "-" : "") + digits;
}

// EDFlib prints a limit by cutting, not rounding, its digits to the field: a value whose binary
// double lies just below its decimal (0.03124) would lose its last digit. Nudged away from zero
// by far less than that digit, it prints as written.
double ForEdflib(const std::string& text) {
  const double v = std::strtod(text.c_str(), nullptr);
  if (v == std::floor(v)) return v;
  return v + std::copysign(std::abs(v) * 1e-12, v);
}

struct HeaderLimits {
  std::string min, max;
  int64_t low = 0, high = 0;  // the same in stored units
};

// The narrowest limits, at least [lo, hi] in stored units, whose physical values fit the
// header's 8 characters exactly: fewer decimals widen them outwards. None when even whole
// numbers need more (a magnitude of 10^8 and beyond).
std::optional<HeaderLimits> FitHeader(int64_t lo, int64_t hi, int exponent) {
  for (int k = std::min(exponent, static_cast<int>(kHeaderNumber) - 2); k >= 0; --k) {
    const int64_t unit = Pow10(exponent - k);
    const int64_t a = FloorDiv(lo, unit), b = std::max(CeilDiv(hi, unit), a + 1);
    HeaderLimits l{Decimal(a, k), Decimal(b, k), a * unit, b * unit};
    if (l.min.size() <= kHeaderNumber && l.max.size() <= kHeaderNumber) return l;
  }
  return std::nullopt;
}

std::string BdfName(const std::string& path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? "" : path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == ".bdf") return path;
  return (ext == ".edf" ? path.substr(0, dot) : path) + ".bdf";
}

std::string Field(const std::string& header, size_t at, size_t length) {
  if (at + length > header.size()) return {};
  std::string f = header.substr(at, length);
  f.erase(f.find_last_not_of(' ') + 1);
  return f;
}

bool SameNumber(const std::string& field, const std::string& text) {
  if (field.empty()) return false;
  char* end = nullptr;
  const double a = std::strtod(field.c_str(), &end);
  return *end == '\0' && a == std::strtod(text.c_str(), nullptr);
}

}  // namespace

std::string EdfAscii(std::string_view utf8) {
  struct Spelling {
    std::string_view from, to;
  };
  static constexpr Spelling kSpellings[] = {
      {"\xC2\xB5", "u"},   {"\xCE\xBC", "u"},  {"\xC2\xB0", "deg"}, {"\xE2\x82\x82", "2"},
      {"\xC2\xB2", "2"},   {"\xC2\xB3", "3"},  {"\xE2\x82\x83", "3"},
  };
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : ' ';
      ++i;
      continue;
    }
    bool known = false;
    for (const auto& s : kSpellings) {
      if (utf8.substr(i, s.from.size()) == s.from) {
        out += s.to;
        i += s.from.size();
        known = true;
        break;
      }
    }
    if (known) continue;
    out += '_';
    // Skip the rest of the sequence.
    ++i;
    while (i < utf8.size() && (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) ++i;
  }
  return out;
}

std::string EdfAnnotationText(std::string_view utf8) {
  if (utf8.size() <= kEdfAnnotationBytes) return std::string(utf8);
  size_t end = kEdfAnnotationBytes;
  while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
  return std::string(utf8.substr(0, end));
}

EdfRecording::~EdfRecording() {
  if (handle_ >= 0) {
    std::ostream nowhere(nullptr);
    Close(err_ ? *err_ : nowhere);
  }
}

bool EdfRecording::Open(const std::string& path, const std::vector<EdfSignal>& signals, int periodUs,
                        const EdfIdentity& id, std::ostream& err, std::string& error) {
  if (signals.empty() || periodUs <= 0) {
    error = "no channel with a sample period to record";
    return false;
  }
  // About one second per record, and a whole number of samples and of EDFlib's 10 us steps.
  periodUs_ = periodUs;
  int64_t n = std::max<int64_t>(1, std::llround(1e6 / static_cast<double>(periodUs_)));
  const int64_t step = 10 / std::gcd<int64_t>(periodUs_, 10);
  n = (n + step - 1) / step * step;
  if (n * periodUs_ > kMaxRecordUs) {
    error = "a sample period of " + std::to_string(periodUs) + " us is too long for an EDF+ data record";
    return false;
  }
  samplesPerRecord_ = static_cast<int>(n);

  // Each range widened by one stored step either way: the device rounds its limits and its
  // samples apart, and a sample on the limit must not be changed to fit. Then widened to what
  // the header can write.
  tracks_.clear();
  for (const auto& s : signals) {
    Track t;
    t.label = EdfAscii(s.label);
    const int64_t lo = std::min<int64_t>(s.storedMin, s.storedMax) - 1, hi = std::max<int64_t>(s.storedMin, s.storedMax) + 1;
    auto limits = FitHeader(lo, hi, s.exponent);
    if (!limits) {
      error = "the range of " + s.label + " (" + std::to_string(s.storedMin) + " .. " + std::to_string(s.storedMax) +
              (s.exponent ? " x 10^-" + std::to_string(s.exponent) : "") +
              ") cannot be written in an EDF+ header (8 characters); leave the channel out with --channels";
      return false;
    }
    t.low = limits->low;
    t.high = limits->high;
    t.physicalMin = limits->min;
    t.physicalMax = limits->max;
    tracks_.push_back(std::move(t));
  }

  // 16-bit EDF+ when every range fits, the stored integers being the digital values; shifted
  // by a constant where a range lies outside the digits but its span fits; 24-bit BDF+ when a
  // span needs more. Only a span beyond 24 bits is mapped onto the digits, losing resolution.
  auto fitsNatively = [](const Track& t, int64_t lo, int64_t hi) { return t.low >= lo && t.high <= hi; };
  auto spans = [](const Track& t, int64_t width) { return t.high - t.low <= width; };
  bdf_ = !std::all_of(tracks_.begin(), tracks_.end(), [&](const Track& t) { return spans(t, 65535); });
  const int64_t limitMin = bdf_ ? -8388608 : -32768, limitMax = bdf_ ? 8388607 : 32767;
  for (size_t k = 0; k < tracks_.size(); ++k) {
    Track& t = tracks_[k];
    if (fitsNatively(t, limitMin, limitMax)) {
      t.offset = 0;
    } else if (spans(t, limitMax - limitMin)) {
      t.offset = t.low < limitMin ? t.low - limitMin : t.high - limitMax;
    } else {
      t.scaled = true;
      err << "vyra-host: warning: " << signals[k].label << ": range wider than 24 bits, values rounded in the recording\n";
    }
    t.digitalMin = static_cast<int32_t>(t.scaled ? limitMin : t.low - t.offset);
    t.digitalMax = static_cast<int32_t>(t.scaled ? limitMax : t.high - t.offset);
  }

  path_ = bdf_ ? BdfName(path) : path;
  if (bdf_) {
    err << "vyra-host: a channel's range needs more than 16 bits: the recording is 24-bit BDF+, written as " << path_
        << "\n";
  }
  handle_ = edfopen_file_writeonly(path_.c_str(), bdf_ ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS,
                                   static_cast<int>(signals.size()));
  if (handle_ < 0) {
    error = "cannot write " + path_ + " (EDFlib error " + std::to_string(handle_) + ")";
    handle_ = -1;
    return false;
  }
  err_ = &err;
  bool ok = edf_set_datarecord_duration(handle_, static_cast<int>(n * periodUs_ / 10)) == 0 &&
            edf_set_number_of_annotation_signals(handle_, kAnnotationSignals) == 0;
  for (size_t k = 0; k < tracks_.size() && ok; ++k) {
    Track& t = tracks_[k];
    t.last = ToDigital(t, static_cast<int32_t>(std::clamp<int64_t>(0, t.low, t.high)));
    const int e = static_cast<int>(k);
    ok = edf_set_samplefrequency(handle_, e, samplesPerRecord_) == 0 &&
         edf_set_digital_minimum(handle_, e, t.digitalMin) == 0 &&
         edf_set_digital_maximum(handle_, e, t.digitalMax) == 0 &&
         edf_set_physical_minimum(handle_, e, ForEdflib(t.physicalMin)) == 0 &&
         edf_set_physical_maximum(handle_, e, ForEdflib(t.physicalMax)) == 0 &&
         edf_set_label(handle_, e, t.label.c_str()) == 0 &&
         edf_set_physical_dimension(handle_, e, EdfAscii(signals[k].unit).c_str()) == 0;
  }
  if (ok) {
    edf_set_equipment(handle_, EdfAscii(id.device).c_str());
    std::string more;
    if (!id.serial.empty()) more += "SN " + EdfAscii(id.serial);
    if (!id.firmware.empty()) more += (more.empty() ? "FW " : " FW ") + EdfAscii(id.firmware);
    edf_set_recording_additional(handle_, more.c_str());
  }
  if (!ok) {
    edfclose_file(handle_);
    handle_ = -1;
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    error = "EDFlib refused the signal parameters for " + path_;
    return false;
  }
  buffer_.resize(static_cast<size_t>(samplesPerRecord_));
  return true;
}

void EdfRecording::SetStart(std::chrono::system_clock::time_point start) {
  if (handle_ < 0) return;
  // Whole seconds only: with a sub-second start, readers disagree on whether annotation onsets
  // count from it or from the whole second, and the comments must sit on their samples.
  const std::time_t t = std::chrono::system_clock::to_time_t(start);
  std::tm local{};
  localtime_r(&t, &local);
  edf_set_startdatetime(handle_, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec);
}

int32_t EdfRecording::ToDigital(Track& t, int32_t stored) const {
  int64_t v = stored;
  if (v < t.low || v > t.high) {
    ++t.clamped;
    v = std::clamp(v, t.low, t.high);
  }
  if (!t.scaled) return static_cast<int32_t>(v - t.offset);
  const double f = static_cast<double>(v - t.low) / static_cast<double>(t.high - t.low);
  return static_cast<int32_t>(std::llround(t.digitalMin + f * (static_cast<double>(t.digitalMax) - t.digitalMin)));
}

void EdfRecording::Add(size_t signal, const std::vector<int32_t>& stored) {
  if (handle_ < 0 || signal >= tracks_.size() || stored.empty()) return;
  Track& t = tracks_[signal];
  for (int32_t v : stored) t.pending.push_back(ToDigital(t, v));
  t.last = t.pending.back();
  WriteRecords();
}

void EdfRecording::WriteRecords() {
  const size_t n = static_cast<size_t>(samplesPerRecord_);
  for (;;) {
    for (const auto& t : tracks_) {
      if (t.pending.size() < n) return;
    }
    for (auto& t : tracks_) {
      std::copy_n(t.pending.begin(), n, buffer_.begin());
      t.pending.erase(t.pending.begin(), t.pending.begin() + static_cast<long>(n));
      if (!failed_ && edfwrite_digital_samples(handle_, buffer_.data()) != 0) failed_ = true;
    }
    ++records_;
  }
}

void EdfRecording::Annotate(double seconds, std::string_view text) {
  if (handle_ < 0) return;
  const long long onset = std::llround(std::max(0.0, seconds) * 10000.0);  // EDFlib counts 100 us
  if (edfwrite_annotation_utf8(handle_, onset, -1, EdfAnnotationText(text).c_str()) == 0)
    ++annotations_;
  else
    ++annotationsRefused_;
}

// Reads the closed file's header back: the record count, the limits and the size that the
// records make. EDFlib writes through stdio and does not report a short write or a failed close.
std::string EdfRecording::CheckWritten() const {
  std::ifstream in(path_, std::ios::binary);
  std::string header(256, '\0');
  if (!in.read(header.data(), 256)) return "its header could not be read back";
  const size_t count = static_cast<size_t>(std::atol(Field(header, 252, 4).c_str()));
  if (count != tracks_.size() + kAnnotationSignals) return "its header is not the one written";
  header.resize(256 * (count + 1));
  if (!in.read(header.data() + 256, static_cast<std::streamsize>(256 * count))) return "its header is cut short";
  if (Field(header, 236, 8) != std::to_string(records_)) return "its header does not count the records written";
  uint64_t recordBytes = 0;
  for (size_t k = 0; k < count; ++k) recordBytes += std::strtoull(Field(header, 256 + count * 216 + k * 8, 8).c_str(), nullptr, 10);
  recordBytes *= bdf_ ? 3 : 2;
  for (size_t k = 0; k < tracks_.size(); ++k) {
    const Track& t = tracks_[k];
    if (!SameNumber(Field(header, 256 + count * 104 + k * 8, 8), t.physicalMin) ||
        !SameNumber(Field(header, 256 + count * 112 + k * 8, 8), t.physicalMax) ||
        !SameNumber(Field(header, 256 + count * 120 + k * 8, 8), std::to_string(t.digitalMin)) ||
        !SameNumber(Field(header, 256 + count * 128 + k * 8, 8), std::to_string(t.digitalMax))) {
      return "the header's limits of " + t.label + " are not the ones set";
    }
  }
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path_, ec);
  const uint64_t expected = header.size() + records_ * recordBytes;
  if (ec || size != expected) {
    return "it holds " + (ec ? std::string("no") : std::to_string(size)) + " bytes of the " + std::to_string(expected) +
           " written (is the disk full?)";
  }
  return {};
}

bool EdfRecording::Close(std::ostream& err) {
  if (handle_ < 0) return !failed_;
  size_t longest = 0;
  for (const auto& t : tracks_) longest = std::max(longest, t.pending.size());
  std::vector<std::string> paddedNames;
  uint64_t firstPadded = UINT64_MAX, padEnd = 0;
  if (longest > 0) {
    const size_t n = static_cast<size_t>(samplesPerRecord_);
    const size_t target = (longest + n - 1) / n * n;
    padEnd = records_ * n + target;
    for (auto& t : tracks_) {
      if (t.pending.size() == target) continue;
      firstPadded = std::min<uint64_t>(firstPadded, records_ * n + t.pending.size());
      paddedNames.push_back(t.label);
      t.pending.resize(target, t.last);
    }
    WriteRecords();
  }
  // One note for every padded signal, naming as many as its text can hold.
  std::string padded = "padded, no data: ";
  for (size_t i = 0; i < paddedNames.size(); ++i) {
    const std::string more = i + 1 < paddedNames.size() ? ",+" + std::to_string(paddedNames.size() - i - 1) : "";
    const std::string piece = (i ? "," : "") + paddedNames[i];
    if (padded.size() + piece.size() + more.size() > kEdfAnnotationBytes) {
      padded += (i ? ",+" : "+") + std::to_string(paddedNames.size() - i);
      break;
    }
    padded += piece;
  }
  // The room EDFlib has for annotations; the padding note comes after every comment and only
  // where it takes no comment's place.
  const uint64_t room = std::max<uint64_t>(records_, 1) * kAnnotationSignals;
  if (!paddedNames.empty()) {
    if (annotations_ < room) {
      const long long onset = std::llround(static_cast<double>(firstPadded) * periodUs_ / 100.0);  // 100 us units
      const long long duration = std::llround(static_cast<double>(padEnd - firstPadded) * periodUs_ / 100.0);
      if (edfwrite_annotation_utf8(handle_, onset, duration, EdfAnnotationText(padded).c_str()) == 0)
        ++annotations_;
    } else {
      err << "vyra-host: warning: no room for the padding note in " << path_ << "; " << paddedNames.size()
          << " signal(s) hold their last value at the end\n";
    }
  }
  if (annotations_ > room || annotationsRefused_ > 0) {
    err << "vyra-host: warning: " << (annotations_ > room ? annotations_ - room : 0) + annotationsRefused_ << " of "
        << annotations_ + annotationsRefused_ << " comment(s) did not fit the EDF+ recording's " << records_
        << " record(s)\n";
  }
  for (const auto& t : tracks_) {
    if (t.clamped > 0)
      err << "vyra-host: warning: " << t.clamped << " sample(s) of " << t.label << " lay beyond its range and were stored at its limit in " << path_ << "\n";
  }
  if (edfclose_file(handle_) != 0) failed_ = true;
  handle_ = -1;
  std::error_code ec;
  if (records_ == 0 && std::filesystem::is_regular_file(path_, ec)) {
    // Readers refuse a file without a data record; nothing was measured, so nothing is kept.
    removed_ = std::filesystem::remove(path_, ec);
    err << "vyra-host: " << path_ << ": no sample was recorded, "
        << (removed_ ? "so the file was removed\n" : "and the empty file could not be removed\n");
    return !failed_;
  }
  if (!failed_) {
    if (std::string why = CheckWritten(); !why.empty()) {
      err << "vyra-host: " << path_ << " was not written whole: " << why << "\n";
      failed_ = true;
    }
  }
  return !failed_;
}

}  // namespace vyra::host
