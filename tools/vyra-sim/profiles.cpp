#include "profiles.h"

namespace vyra::sim {

ProfileDef DefineProfile(Profile profile, bool timeColumn) {
  ProfileDef d;
  ProfileInfo& i = d.info;
  i.timeColumn = timeColumn;
  auto add = [&](ChannelSpec spec, Generator gen) {
    i.channels.push_back(std::move(spec));
    d.generators.push_back(gen);
  };
  // Generators keep every value inside the range the host applies to the channel, so nothing
  // the host stores is ever clamped.
  switch (profile) {
    case Profile::kBrandedVyra:
    case Profile::kPlainVyra:
      i.model = "VYRA";
      add({"systol", "mmHg", "500.0", "0"}, {122, 6, 7.0, 1, 0, 0, 500});
      add({"diasto", "mmHg", "500.0", "0"}, {81, 4, 7.0, 1, 0, 0, 500});
      add({"mean B", "mmHg", "500.0", "0"}, {95, 5, 7.0, 1, 5, 0, 500});
      add({"HR", "bpm", "1000", "0"}, {420, 30, 3.0, 0, 4, 0, 1000});
      add({"volume", "uliters", "500.0", "0"}, {0, 0, 1, 0, 0, 0, 500});
      i.counterChannel = 4;
      i.counterModulus = 500;
      break;
    case Profile::kVentilator:
      i.model = "Z800";
      add({"PeakPr", "cmH2O", "50.00", "-10"}, {18, 4, 2.0, 2, 0, -10, 50});
      add({"MeasTV", "ml", "100.0", "0"}, {2.4, 0.6, 2.0, 1, 3, 0, 100});
      add({"MeasRR", "bpm", "500", "0"}, {90, 10, 9.0, 0, 6, 0, 500});
      add({"PEEP", "cmH2O", "50.0", "0"}, {4, 1, 5.0, 1, 0, 0, 50});
      add({"MeasMV", "ml/min", "2000", "0"}, {0, 0, 1, 0, 0, 0, 2000});
      i.counterChannel = 4;
      i.counterModulus = 2000;
      break;
    case Profile::kOximeter:
      i.model = "OX10";
      add({"SpO2", "%", "100.0", "0"}, {97, 1.5, 11.0, 1, 4, 0, 100});
      add({"HR", "bpm", "1000", "0"}, {0, 0, 1, 0, 0, 0, 1000});
      add({"Perfus", "%", "20.00", "0"}, {3.5, 1.2, 1.5, 2, 0, 0, 20});
      i.counterChannel = 1;
      i.counterModulus = 1000;
      break;
    case Profile::kCapnograph:
      i.model = "CO20";
      add({"MinCO2", "mmHg", "120.0", "0"}, {1.5, 1, 6.0, 1, 3, 0, 120});
      add({"PeakCO", "mmHg", "120.0", "0"}, {38, 2, 6.0, 1, 3, 0, 120});
      add({"InstCO", "mmHg", "120.0", "0"}, {20, 18, 0.7, 1, 0, 0, 120});
      add({"MeasRR", "bpm", "500", "0"}, {0, 0, 1, 0, 0, 0, 500});
      i.counterChannel = 3;
      i.counterModulus = 500;
      break;
  }
  return d;
}

ProfileInfo DescribeProfile(Profile profile, bool timeColumn) {
  return DefineProfile(profile, timeColumn).info;
}

}  // namespace vyra::sim
