#pragma once
// The process-wide table of found devices; the index handed to the host is the position.
#include <cstddef>
#include <memory>

namespace vyra {

class DuraSerial;

DuraSerial* DeviceAt(int index);  // null when the index names no device
int AppendDevice(std::unique_ptr<DuraSerial> device);  // returns the new index
size_t DeviceCount();
DuraSerial* LastDevice();
void DestroyAllDevices();  // highest index first

}  // namespace vyra
