// The channel model: upload rates and the channel list built from the four description
// lines.
#include <charconv>
#include <map>
#include <string>
#include <vector>

#include "protocol/classify.h"
#include "protocol/core.h"
#include "protocol/fields.h"

namespace vyra {

namespace {

constexpr int32_t kStandardPeriod = 20000;  // microseconds
constexpr double kWaveformMaximum = 300;

}  // namespace

bool ProtocolCore::ParseUploadRates(const BVL::String& line) {
  // A second handshake adds to the list of the first.
  const std::vector<BVL::String> fields = SplitFields(line);
  for (const BVL::String& field : fields) {
    if (field == std::u16string_view(u"EndOfCycle")) continue;  // an entry without a period
    // Seconds to microseconds in single precision, as the device's list is meant; the
    // volatile keeps x87 builds from carrying extra precision into the truncation.
    volatile float product = ParseNumber(field) * 1000000.0f;
    int32_t period = SaturateToInt32(static_cast<double>(product));
    if (period >= kStandardPeriod - 1 && period <= kStandardPeriod + 1) period = kStandardPeriod;
    uploadRates_[period] = static_cast<int32_t>(&field - fields.data());
  }
  if (uploadRates_.empty()) return false;
  uploadPeriod_ = kStandardPeriod;
  return true;
}

bool ProtocolCore::SelectPeriod(int32_t period) {
  auto it = uploadRates_.find(period);
  if (it == uploadRates_.end()) return false;
  // The whole position is sent: a cut number would select another rate.
  char command[16] = {'P'};
  const auto end = std::to_chars(command + 1, command + sizeof command, it->second).ptr;
  out_.Send(std::string_view(command, static_cast<size_t>(end - command)));
  uploadPeriod_ = period;
  return true;
}

bool ProtocolCore::BuildChannels() {
  // The list is built once; host threads hold on to what was published from it.
  if (channelsReady_) return true;
  if (!DescriptionComplete()) return false;

  std::vector<BVL::String> names = SplitFields(namesLine_);
  std::vector<BVL::String> units = SplitFields(unitsLine_);
  std::vector<BVL::String> maxima = SplitFields(maximaLine_);
  std::vector<BVL::String> minima = SplitFields(minimaLine_);
  if (units.size() != names.size() || maxima.size() != names.size() || minima.size() != names.size()) return false;

  const int32_t period = uploadPeriod_;
  std::vector<ChannelInfo> built;
  built.reserve(names.size() + 2);
  bool timeColumn = false;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string name = names[i].NarrowText();
    if (name == "Time") {
      timeColumn = true;
      continue;
    }
    std::string display = ClassifyChannelName(name);
    std::string unit = NormaliseUnits(units[i].NarrowText(), display);
    int32_t decimals = CountDecimals(maxima[i].NarrowText());
    double maximum = ParseNumber(maxima[i]);
    double minimum = ParseNumber(minima[i]);
    built.emplace_back(period, decimals, std::move(display), maximum, minimum, unit);
  }

  int32_t cuff = -1, vpr = -1;
  if (isBranded_) {
    cuff = static_cast<int32_t>(built.size());
    built.emplace_back(period, 0, "O-Cuff", kWaveformMaximum, 0.0, "mmHg");
    vpr = static_cast<int32_t>(built.size());
    built.emplace_back(period, 0, "VPR", kWaveformMaximum, 0.0, "mmHg");
  }

  if (timeColumn) hasTimeColumn_ = true;
  cuffChannel_ = cuff;
  vprChannel_ = vpr;
  sampleChannels_.clear();
  for (const ChannelInfo& c : built) sampleChannels_.push_back({c.Scale(), 0});
  channels_ = std::move(built);
  channelsReady_ = true;
  out_.ChannelsBuilt();
  return true;
}

}  // namespace vyra
