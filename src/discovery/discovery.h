#pragma once
// Finding attached monitors: one more device per call, resuming the walk between calls.
#include <memory>
#include <string>

namespace vyra {

class DuraSerial;

std::unique_ptr<DuraSerial> FindNextDevice(const char* hostText);
// Destroys the enumerator and the FTDI driver record (CloseAll, unload).
void DestroyDiscovery();

// Driver flags for the index -1 message; false when there is no driver record.
struct DriverState {
  bool recordExists = false;
  bool driverMissing = false;
  bool driverUnusable = false;
};
DriverState CurrentDriverState();

}  // namespace vyra
