// The channel model: upload rates and the channel list built from the four description
// lines.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/channel_record.h"
#include "protocol/classify.h"
#include "protocol/fields.h"
#include "serial/dura_serial.h"

namespace vyra {

namespace {

constexpr int32_t kStandardPeriod = 20000;  // microseconds
constexpr double kWaveformMaximum = 300;

}  // namespace

bool DuraSerial::ParseUploadRates(const BVL::String& line) {
  std::vector<BVL::String> fields = SplitFields(line);
  // A second handshake adds to the map while a host thread may be looking a period up
  // (code 35): the new map is built apart and published whole under the text lock. Only
  // this thread writes it, so reading the old one here needs no lock.
  std::map<int32_t, int32_t> rates = uploadRates;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i] == std::u16string_view(u"EndOfCycle")) continue;  // an entry without a period
    // Seconds to microseconds in single precision, as the device's list is meant; the
    // volatile keeps x87 builds from carrying extra precision into the truncation.
    volatile float product = ParseNumber(fields[i]) * 1000000.0f;
    int32_t period = SaturateToInt32(static_cast<double>(product));
    if (period >= kStandardPeriod - 1 && period <= kStandardPeriod + 1) period = kStandardPeriod;
    rates[period] = static_cast<int32_t>(i);
  }
  {
    std::lock_guard lock(textMutex);
    uploadRates.swap(rates);
  }
  if (uploadRates.empty()) return false;
  uploadPeriod.store(kStandardPeriod, std::memory_order_relaxed);
  return true;
}

bool DuraSerial::UploadRatePosition(int32_t period, int32_t& position) const {
  std::lock_guard l(textMutex);
  auto it = uploadRates.find(period);
  if (it == uploadRates.end()) return false;
  position = it->second;
  return true;
}

bool DuraSerial::BuildChannels() {
  // The list is published once and host threads hold on to its records from then on.
  if (channelsReady.load(std::memory_order_acquire)) return true;

  BVL::String namesLine, unitsLine, maximaLine, minimaLine;
  {
    std::lock_guard lock(textMutex);
    namesLine = channelNamesLine;
    unitsLine = channelUnitsLine;
    maximaLine = channelMaximaLine;
    minimaLine = channelMinimaLine;
  }
  if (namesLine.IsEmpty() || unitsLine.IsEmpty() || maximaLine.IsEmpty() || minimaLine.IsEmpty()) return false;

  std::vector<BVL::String> names = SplitFields(namesLine);
  std::vector<BVL::String> units = SplitFields(unitsLine);
  std::vector<BVL::String> maxima = SplitFields(maximaLine);
  std::vector<BVL::String> minima = SplitFields(minimaLine);
  if (units.size() != names.size() || maxima.size() != names.size() || minima.size() != names.size()) return false;

  const int32_t period = uploadPeriod.load(std::memory_order_relaxed);
  std::vector<std::unique_ptr<ChannelRecord>> built;
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
    built.push_back(std::make_unique<ChannelRecord>(period, decimals, std::move(display), maximum, minimum, unit));
  }

  int32_t cuff = -1, vpr = -1;
  if (isBranded) {
    cuff = static_cast<int32_t>(built.size());
    built.push_back(std::make_unique<ChannelRecord>(period, 0, "O-Cuff", kWaveformMaximum, 0.0, "mmHg"));
    vpr = static_cast<int32_t>(built.size());
    built.push_back(std::make_unique<ChannelRecord>(period, 0, "VPR", kWaveformMaximum, 0.0, "mmHg"));
  }

  if (timeColumn) hasTimeColumn.store(true, std::memory_order_relaxed);
  cuffChannel.store(cuff, std::memory_order_relaxed);
  vprChannel.store(vpr, std::memory_order_relaxed);
  channels = std::move(built);
  channelsReady.store(true, std::memory_order_release);
  return true;
}

}  // namespace vyra
