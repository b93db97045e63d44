#include <gtest/gtest.h>

#include <string>

#include "protocol/classify.h"

namespace vyra {
namespace {

// Expected texts are spelled as bytes so that the check does not depend on how this file
// is encoded.
const std::string kSub2 = "\xE2\x82\x82";

TEST(ProtocolClassify, EveryDeviceNameMapsToItsMeasurement) {
  struct Row {
    const char* device;
    std::string display;
  } rows[] = {
      {"systol", "Systolic BP"},       {"diasto", "Diastolic BP"},        {"mean B", "Mean BP"},
      {"HR", "Heart Rate"},            {"volume", "Tail Volume"},         {"flow", "Flow Sys To Max"},
      {"Pad", "Pad Temp'"},            {"Body", "Body Temp'"},            {"Peak P", "Peak Pressure"},
      {"PeakPr", "Peak Pressure"},     {"Tidal", "Tidal Volume"},         {"MeasTV", "Tidal Volume"},
      {"MeasMV", "Minute Volume"},     {"MinVol", "Minute Volume"},       {"RR", "Set Resp. Rate"},
      {"SetRR", "Set Resp. Rate"},     {"MeasRR", "Resp. Rate"},          {"Target P", "Target Pressure"},
      {"TargPr", "Target Pressure"},   {"PEEP", "PEEP"},                  {"Press", "Pressure"},
      {"SpO2", "SpO" + kSub2},         {"Perfus", "Perfusion"},           {"MinCO2", "Min CO" + kSub2},
      {"Peak CO", "Peak CO" + kSub2},  {"PeakCO", "Peak CO" + kSub2},     {"InstCO", "Instant' CO" + kSub2},
      {"%Anest", "Anesthetic"},        {"VolRem", "Volume Remaining"},    {"TargTV", "Target TV"},
      {"SetMV", "Set MV"},             {"PeakFl", "Peak Flow"},           {"InstPr", "Instant' Pressure"},
      {"InstFl", "Instant' Flow"},     {"InstVo", "Instant' Volume"},
  };
  for (const Row& r : rows) EXPECT_EQ(ClassifyChannelName(r.device), r.display) << r.device;
}

TEST(ProtocolClassify, NearMissesStayUnchanged) {
  for (const char* name : {"Systol", "systolic", "systol ", " HR", "hr", "Pres", "Pressure", "SPO2", "", "Time"})
    EXPECT_EQ(ClassifyChannelName(name), name);
}

TEST(ProtocolClassify, UnitsTakeTheirDisplayForm) {
  struct Row {
    const char* unit;
    const char* display;  // the channel's display name
    std::string expected;
  } rows[] = {
      {"bpm", "Resp. Rate", "breaths/min"},
      {"bpm", "Set Resp. Rate", "breaths/min"},
      {"bpm", "Heart Rate", "bpm"},
      {"uliters", "x", "\xC2\xB5L"},
      {"ml/min", "x", "mL/min"},
      {"degC", "x", "\xC2\xB0" "C"},
      {"deg C", "x", "\xC2\xB0" "C"},
      {"cmH2O", "x", "cmH" + kSub2 + "O"},
      {"cmH20", "x", "cmH" + kSub2 + "O"},
      {"ml", "x", "mL"},
      {"mL", "x", "mL"},
      {"degc", "x", "degc"},
      {"mmHg", "x", "mmHg"},
  };
  for (const Row& r : rows) EXPECT_EQ(NormaliseUnits(r.unit, r.display), r.expected) << r.unit << " on " << r.display;
  EXPECT_EQ(NormaliseUnits("deg C", "x"), std::string("\xC2\xB0\x43"));
}

TEST(ProtocolClassify, KnownMeasurementsGetTheirFixedRange) {
  struct Row {
    std::string display;
    double maximum;
    double minimum;
  } rows[] = {
      {"Heart Rate", 1000, 0},       {"Peak Pressure", 50, -10},  {"Instant' Pressure", 50, -10},
      {"SpO" + kSub2, 100, 0},       {"Instant' CO" + kSub2, 120, 0}, {"Minute Volume", 2000, 0},
      {"Set Resp. Rate", 500, 0},    {"Pad Temp'", 50, 0},        {"Perfusion", 20, 0},
  };
  for (const Row& r : rows) {
    double maximum = 7777, minimum = -7777;
    DefaultRange(r.display, maximum, minimum);
    EXPECT_EQ(maximum, r.maximum) << r.display;
    EXPECT_EQ(minimum, r.minimum) << r.display;
  }
}

TEST(ProtocolClassify, PressureKeepsTheReportedMinimumAndUnknownNamesKeepBoth) {
  double maximum = 80, minimum = -20;
  DefaultRange("Pressure", maximum, minimum);
  EXPECT_EQ(maximum, 50);
  EXPECT_EQ(minimum, -20);
  for (const char* name : {"O-Cuff", "VPR", "SpO2", "systol", "heart rate"}) {
    maximum = 300, minimum = -5;
    DefaultRange(name, maximum, minimum);
    EXPECT_EQ(maximum, 300) << name;
    EXPECT_EQ(minimum, -5) << name;
  }
}

}  // namespace
}  // namespace vyra
