#pragma once
// The process-wide table of found devices; the index handed to the host is the position.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vyra {

class DuraSerial;

DuraSerial* DeviceAt(int index);  // null when the index names no device
// Returns the new index; -1 when the table is full (the device is then destroyed).
int AppendDevice(std::unique_ptr<DuraSerial> device);
size_t DeviceCount();
DuraSerial* LastDevice();
void DestroyAllDevices();  // highest index first

}  // namespace vyra
