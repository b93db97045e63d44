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
// Highest index first. A device whose reader was left running at an unload is not destroyed
// (its reader still uses it); its monitor is only told to stop.
void DestroyAllDevices();
// Unload under the Windows loader lock: every reader is told to stop, then each is ended by
// the deadline (NowMs clock); false when one was left running.
bool EndReadersForUnload(int64_t deadlineMs);

}  // namespace vyra
