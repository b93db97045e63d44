// Channel sets of the simulated monitors.
#pragma once

#include <vector>

#include "vyra_sim.h"

namespace vyra::sim {

// A slow sine around base; printed with `decimals`; every `repeatEvery`-th line sends "*".
struct Generator {
  double base, amplitude, periodSeconds;
  int decimals;
  int repeatEvery;
  double low, high;  // the range the host uses for the channel
  std::string text = {};  // sent as it stands instead, when not empty
};

struct ProfileDef {
  ProfileInfo info;
  std::vector<Generator> generators;  // parallel to info.channels
};

ProfileDef DefineProfile(Profile profile, bool timeColumn);

}  // namespace vyra::sim
