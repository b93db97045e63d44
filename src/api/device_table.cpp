// STUB: replaced by the serial spine.
#include "api/device_table.h"
#include <vector>
#include "serial/dura_serial.h"
namespace vyra {
namespace { std::vector<std::unique_ptr<DuraSerial>>& Table() { static std::vector<std::unique_ptr<DuraSerial>> t; return t; } }
DuraSerial* DeviceAt(int i) { return (i >= 0 && static_cast<size_t>(i) < Table().size()) ? Table()[i].get() : nullptr; }
int AppendDevice(std::unique_ptr<DuraSerial> d) { Table().push_back(std::move(d)); return static_cast<int>(Table().size()) - 1; }
size_t DeviceCount() { return Table().size(); }
DuraSerial* LastDevice() { return Table().empty() ? nullptr : Table().back().get(); }
void DestroyAllDevices() { while (!Table().empty()) Table().pop_back(); }
}  // namespace vyra
