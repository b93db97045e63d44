// STUB: replaced by discovery.
#include "discovery/discovery.h"
#include "serial/dura_serial.h"
namespace vyra {
std::unique_ptr<DuraSerial> FindNextDevice(const char*) { return nullptr; }
void DestroyDiscovery() {}
DriverState CurrentDriverState() { return {}; }
std::string SerialNumberFromPath(std::u16string_view) { return {}; }
}  // namespace vyra
