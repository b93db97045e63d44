#include "edf_recording.h"

#include <edflib.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <numeric>
#include <ostream>

namespace vyra::host {

namespace {

// Room for two annotations per data record: a short stream with cuff results close together
// must not lose any (EDFlib keeps only what the annotation signals have room for).
constexpr int kAnnotationSignals = 2;
constexpr int64_t kMaxRecordUs = 60'000'000;  // EDFlib's longest data record

double Pow10(int e) { return std::pow(10.0, e); }

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
    Close(nowhere);
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

  // 16-bit EDF+ when every range fits, so the stored integers are the digital values; 24-bit
  // BDF+ when one needs more. Only a range beyond 24 bits is scaled, and that loses resolution.
  bdf_ = false;
  for (const auto& s : signals) {
    if (std::min(s.storedMin, s.storedMax) < -32768 || std::max(s.storedMin, s.storedMax) > 32767) bdf_ = true;
  }
  const int32_t limitMin = bdf_ ? -8388608 : -32768, limitMax = bdf_ ? 8388607 : 32767;
  if (bdf_) err << "vyra-host: " << path << ": a channel's range needs more than 16 bits, so it is 24-bit BDF+\n";

  handle_ = edfopen_file_writeonly(path.c_str(), bdf_ ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS,
                                   static_cast<int>(signals.size()));
  if (handle_ < 0) {
    error = "cannot write " + path + " (EDFlib error " + std::to_string(handle_) + ")";
    handle_ = -1;
    return false;
  }
  bool ok = edf_set_datarecord_duration(handle_, static_cast<int>(n * periodUs_ / 10)) == 0 &&
            edf_set_number_of_annotation_signals(handle_, kAnnotationSignals) == 0;
  tracks_.clear();
  for (size_t k = 0; k < signals.size() && ok; ++k) {
    const auto& s = signals[k];
    Track t;
    t.label = EdfAscii(s.label);
    t.storedMin = std::min(s.storedMin, s.storedMax);
    t.storedMax = std::max(s.storedMin, s.storedMax);
    if (t.storedMax == t.storedMin) ++t.storedMax;  // EDF needs a span
    const bool fits = t.storedMin >= limitMin && t.storedMax <= limitMax;
    t.digitalMin = fits ? t.storedMin : limitMin;
    t.digitalMax = fits ? t.storedMax : limitMax;
    if (!fits) err << "vyra-host: warning: " << s.label << ": range wider than 24 bits, scaled in " << path << "\n";
    t.last = ToDigital(t, std::clamp(0, t.storedMin, t.storedMax));
    const int e = static_cast<int>(k);
    ok = edf_set_samplefrequency(handle_, e, samplesPerRecord_) == 0 &&
         edf_set_digital_minimum(handle_, e, t.digitalMin) == 0 &&
         edf_set_digital_maximum(handle_, e, t.digitalMax) == 0 &&
         edf_set_physical_minimum(handle_, e, t.storedMin / Pow10(s.exponent)) == 0 &&
         edf_set_physical_maximum(handle_, e, t.storedMax / Pow10(s.exponent)) == 0 &&
         edf_set_label(handle_, e, t.label.c_str()) == 0 &&
         edf_set_physical_dimension(handle_, e, EdfAscii(s.unit).c_str()) == 0;
    tracks_.push_back(std::move(t));
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
    error = "EDFlib refused the signal parameters for " + path;
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

int32_t EdfRecording::ToDigital(const Track& t, int32_t stored) const {
  const int32_t v = std::clamp(stored, t.storedMin, t.storedMax);
  if (t.digitalMin == t.storedMin && t.digitalMax == t.storedMax) return v;
  const double f = (static_cast<double>(v) - t.storedMin) / (static_cast<double>(t.storedMax) - t.storedMin);
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
  if (edfwrite_annotation_utf8(handle_, onset, -1, EdfAnnotationText(text).c_str()) == 0) ++annotations_;
}

bool EdfRecording::Close(std::ostream& err) {
  if (handle_ < 0) return !failed_;
  size_t longest = 0;
  for (const auto& t : tracks_) longest = std::max(longest, t.pending.size());
  if (longest > 0) {
    const size_t n = static_cast<size_t>(samplesPerRecord_);
    const size_t target = (longest + n - 1) / n * n;
    for (auto& t : tracks_) {
      if (t.pending.size() == target) continue;
      const uint64_t first = records_ * n + t.pending.size();
      // Annotation times count 100 us.
      const long long onset = std::llround(static_cast<double>(first) * periodUs_ / 100.0);
      const long long duration = std::llround(static_cast<double>(target - t.pending.size()) * periodUs_ / 100.0);
      if (edfwrite_annotation_utf8(handle_, onset, duration,
                                   EdfAnnotationText("padded, no data: " + t.label).c_str()) == 0) {
        ++annotations_;
      }
      t.pending.resize(target, t.last);
    }
    WriteRecords();
  }
  const uint64_t room = std::max<uint64_t>(records_, 1) * kAnnotationSignals;
  if (annotations_ > room) {
    err << "vyra-host: warning: " << (annotations_ - room) << " of " << annotations_
        << " annotation(s) did not fit the EDF+ recording's " << records_ << " record(s)\n";
  }
  if (edfclose_file(handle_) != 0) failed_ = true;
  handle_ = -1;
  return !failed_;
}

}  // namespace vyra::host
