// The measurement vocabulary. Texts are UTF-8 and compared byte for byte: device names are
// short fixed abbreviations, so anything else (other case, extra letters, spaces) is a
// name of its own and passes through unchanged.
#include "protocol/classify.h"

#include <string_view>

namespace vyra {

namespace {

// "\xE2\x82\x82" is U+2082 SUBSCRIPT TWO, "\xC2\xB0" U+00B0 DEGREE SIGN, "\xC2\xB5" U+00B5
// MICRO SIGN. Escapes are closed before a following letter that could extend them.
constexpr std::string_view kSystolic = "Systolic BP";
constexpr std::string_view kDiastolic = "Diastolic BP";
constexpr std::string_view kMean = "Mean BP";
constexpr std::string_view kHeartRate = "Heart Rate";
constexpr std::string_view kTailVolume = "Tail Volume";
constexpr std::string_view kFlowSysToMax = "Flow Sys To Max";
constexpr std::string_view kPadTemp = "Pad Temp'";
constexpr std::string_view kBodyTemp = "Body Temp'";
constexpr std::string_view kPeakPressure = "Peak Pressure";
constexpr std::string_view kTidalVolume = "Tidal Volume";
constexpr std::string_view kMinuteVolume = "Minute Volume";
constexpr std::string_view kRespRate = "Resp. Rate";
constexpr std::string_view kTargetPressure = "Target Pressure";
constexpr std::string_view kPeep = "PEEP";
constexpr std::string_view kPressure = "Pressure";
constexpr std::string_view kSpO2 = "SpO\xE2\x82\x82";
constexpr std::string_view kPerfusion = "Perfusion";
constexpr std::string_view kMinCO2 = "Min CO\xE2\x82\x82";
constexpr std::string_view kPeakCO2 = "Peak CO\xE2\x82\x82";
constexpr std::string_view kInstantCO2 = "Instant' CO\xE2\x82\x82";
constexpr std::string_view kAnesthetic = "Anesthetic";
constexpr std::string_view kVolumeRemaining = "Volume Remaining";
constexpr std::string_view kTargetTV = "Target TV";
constexpr std::string_view kSetRespRate = "Set Resp. Rate";
constexpr std::string_view kSetMV = "Set MV";
constexpr std::string_view kPeakFlow = "Peak Flow";
constexpr std::string_view kInstantPressure = "Instant' Pressure";
constexpr std::string_view kInstantFlow = "Instant' Flow";
constexpr std::string_view kInstantVolume = "Instant' Volume";

struct NameRow {
  std::string_view device;
  std::string_view display;
};

// Rows in the order they are tried; some measurements have two device spellings.
constexpr NameRow kNames[] = {
    {"systol", kSystolic},       {"diasto", kDiastolic},          {"mean B", kMean},
    {"HR", kHeartRate},          {"volume", kTailVolume},         {"flow", kFlowSysToMax},
    {"Pad", kPadTemp},           {"Body", kBodyTemp},             {"Peak P", kPeakPressure},
    {"PeakPr", kPeakPressure},   {"Tidal", kTidalVolume},         {"MeasTV", kTidalVolume},
    {"MeasMV", kMinuteVolume},   {"MinVol", kMinuteVolume},       {"RR", kSetRespRate},
    {"SetRR", kSetRespRate},     {"MeasRR", kRespRate},           {"Target P", kTargetPressure},
    {"TargPr", kTargetPressure}, {"PEEP", kPeep},                 {"Press", kPressure},
    {"SpO2", kSpO2},             {"Perfus", kPerfusion},          {"MinCO2", kMinCO2},
    {"Peak CO", kPeakCO2},       {"PeakCO", kPeakCO2},            {"InstCO", kInstantCO2},
    {"%Anest", kAnesthetic},     {"VolRem", kVolumeRemaining},    {"TargTV", kTargetTV},
    {"SetMV", kSetMV},           {"PeakFl", kPeakFlow},           {"InstPr", kInstantPressure},
    {"InstFl", kInstantFlow},    {"InstVo", kInstantVolume},
};

struct UnitRow {
  std::string_view unit;
  bool respirationOnly;  // only on the two respiration-rate channels
  std::string_view display;
};

constexpr UnitRow kUnits[] = {
    {"bpm", true, "breaths/min"},
    {"uliters", false, "\xC2\xB5" "L"},
    {"ml/min", false, "mL/min"},
    {"degC", false, "\xC2\xB0" "C"},
    {"deg C", false, "\xC2\xB0" "C"},
    {"cmH2O", false, "cmH\xE2\x82\x82" "O"},
    {"cmH20", false, "cmH\xE2\x82\x82" "O"},  // a zero for the letter O, as some devices send it
    {"ml", false, "mL"},
};

struct RangeRow {
  std::string_view display;
  double maximum;
  double minimum;
  bool keepMinimum;  // only the maximum is fixed
};

constexpr RangeRow kRanges[] = {
    {kSystolic, 500, 0, false},        {kDiastolic, 500, 0, false},     {kMean, 500, 0, false},
    {kHeartRate, 1000, 0, false},      {kTailVolume, 500, 0, false},    {kFlowSysToMax, 50, 0, false},
    {kPadTemp, 50, 0, false},          {kBodyTemp, 50, 0, false},       {kPeakPressure, 50, -10, false},
    {kTidalVolume, 100, 0, false},     {kMinuteVolume, 2000, 0, false}, {kRespRate, 500, 0, false},
    {kTargetPressure, 50, 0, false},   {kPeep, 50, 0, false},           {kPressure, 50, 0, true},
    {kSpO2, 100, 0, false},            {kPerfusion, 20, 0, false},      {kMinCO2, 120, 0, false},
    {kPeakCO2, 120, 0, false},         {kInstantCO2, 120, 0, false},    {kAnesthetic, 10, 0, false},
    {kVolumeRemaining, 10, 0, false},  {kTargetTV, 100, 0, false},      {kSetRespRate, 500, 0, false},
    {kSetMV, 2000, 0, false},          {kPeakFlow, 2000, 0, false},     {kInstantPressure, 50, -10, false},
    {kInstantFlow, 500, 0, false},     {kInstantVolume, 500, 0, false},
};

}  // namespace

std::string ClassifyChannelName(const std::string& deviceName) {
  for (const NameRow& row : kNames)
    if (row.device == deviceName) return std::string(row.display);
  return deviceName;
}

std::string NormaliseUnits(const std::string& unit, const std::string& displayName) {
  const bool respiration = displayName == kRespRate || displayName == kSetRespRate;
  for (const UnitRow& row : kUnits)
    if (row.unit == unit && (!row.respirationOnly || respiration)) return std::string(row.display);
  return unit;
}

void DefaultRange(const std::string& displayName, double& maximum, double& minimum) {
  for (const RangeRow& row : kRanges) {
    if (row.display == displayName) {
      maximum = row.maximum;
      if (!row.keepMinimum) minimum = row.minimum;
      return;
    }
  }
}

}  // namespace vyra
