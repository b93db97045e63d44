#include "api/device_table.h"

#include <vector>

#include "serial/dura_serial.h"

namespace vyra {

namespace {
// Never destroyed by static destruction: the unload hook empties it, and it must still be
// there when that hook runs.
std::vector<std::unique_ptr<DuraSerial>>& Table() {
  static auto* table = new std::vector<std::unique_ptr<DuraSerial>>();
  return *table;
}
}  // namespace

DuraSerial* DeviceAt(int index) {
  auto& t = Table();
  return (index >= 0 && static_cast<size_t>(index) < t.size()) ? t[static_cast<size_t>(index)].get() : nullptr;
}

int AppendDevice(std::unique_ptr<DuraSerial> device) {
  auto& t = Table();
  t.push_back(std::move(device));
  return static_cast<int>(t.size()) - 1;
}

size_t DeviceCount() { return Table().size(); }

DuraSerial* LastDevice() { return Table().empty() ? nullptr : Table().back().get(); }

void DestroyAllDevices() {
  auto& t = Table();
  for (size_t n = t.size(); n > 0; --n) {
    t.back().reset();  // the entry names no device while its object is being destroyed
    t.pop_back();
  }
}

}  // namespace vyra
