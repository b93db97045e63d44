// Finding attached monitors: the walk over COM-port interfaces, matched against the host's
// identifier texts, resuming between calls.
#include "discovery/discovery.h"

#include <new>

#include "framework/log.h"
#include "platform/ftdi_driver.h"
#include "platform/port_enum.h"
#include "device/dura_serial.h"
#include "platform/process_wide.h"

namespace vyra {

namespace {

// Process-wide; FindDevice and CloseAll never overlap other calls, so no lock.
struct DiscoveryState {
  std::unique_ptr<plat::FtdiDriver> driver;
  std::unique_ptr<plat::DevRegEnum> walk;
};

DiscoveryState& State() {
  // CloseAll empties it, also when a host leaves that to the unload hook.
  static ProcessWide<DiscoveryState> state;
  return state.Get();
}

}  // namespace

std::vector<std::string_view> SplitIdentifierList(std::string_view text) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) {
      // The empty text is one empty piece; after a trailing comma nothing is left to add.
      if (start < text.size() || text.empty()) pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

bool MatchesIdentifierList(const std::vector<std::string_view>& list, std::u16string_view identifier) {
  const std::string narrow = LowBytes(identifier);
  for (std::string_view piece : list)
    if (narrow.find(piece) != std::string::npos) return true;
  return false;
}

std::unique_ptr<DuraSerial> FindNextDevice(const char* hostText) {
  DiscoveryState& state = State();
  try {
    if (!state.driver) state.driver = std::make_unique<plat::FtdiDriver>();
    if (!state.driver->IsUsable()) {
      // The record stays so the error message can tell why.
      LogEntry("", "!!! Device driver not installed or missing.");
      return nullptr;
    }
    const std::vector<std::string_view> list = SplitIdentifierList(hostText ? hostText : "");
    if (!state.walk) state.walk = std::make_unique<plat::DevRegEnum>();
    for (;;) {
      if (!state.walk->MoveNext()) {
        state.walk.reset();
        state.driver.reset();
        return nullptr;
      }
      std::u16string identifier = state.walk->GetInstanceId();
      plat::DevRegEnum::TrimInstanceId(identifier, u'+');
      std::u16string portName = plat::ReadPortName(state.walk->GetInstanceId());
      std::u16string ftdiSerial;
      state.driver->FindFtdiSerial(portName, ftdiSerial);
      if (identifier.empty()) identifier = ftdiSerial;
      if (MatchesIdentifierList(list, identifier)) {
        std::u16string devicePath;
        state.walk->GetDevicePath(devicePath);
        return std::make_unique<DuraSerial>(std::move(devicePath), std::move(identifier));
      }
    }
  } catch (...) {
    // Out of memory: no device this time; the walk keeps its place.
    return nullptr;
  }
}

void DestroyDiscovery() {
  DiscoveryState& state = State();
  state.walk.reset();
  state.driver.reset();
}

DriverState CurrentDriverState() {
  const DiscoveryState& state = State();
  if (!state.driver) return {};
  return {true, state.driver->driverMissing, state.driver->driverUnusable};
}

}  // namespace vyra
