#include "api/device_table.h"

#include <vector>

#include "serial/dura_serial.h"

namespace vyra {

namespace {
using Table = std::vector<std::unique_ptr<DuraSerial>>;
// Created by the first append and freed when emptied, never by static destruction: the
// unload hook empties it and it must still be there when that hook runs.
Table* table = nullptr;
}  // namespace

DuraSerial* DeviceAt(int index) {
  return (table && index >= 0 && static_cast<size_t>(index) < table->size()) ? (*table)[static_cast<size_t>(index)].get()
                                                                            : nullptr;
}

int AppendDevice(std::unique_ptr<DuraSerial> device) {
  if (!table) table = new Table();
  table->push_back(std::move(device));
  return static_cast<int>(table->size()) - 1;
}

size_t DeviceCount() { return table ? table->size() : 0; }

DuraSerial* LastDevice() { return (table && !table->empty()) ? table->back().get() : nullptr; }

void DestroyAllDevices() {
  if (!table) return;
  for (size_t n = table->size(); n > 0; --n) {
    table->back().reset();  // the entry names no device while its object is being destroyed
    table->pop_back();
  }
  delete table;
  table = nullptr;
}

}  // namespace vyra
