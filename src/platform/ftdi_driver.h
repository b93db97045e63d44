#pragma once
// Access to the FTDI USB-serial driver: whether it is present, and the FTDI serial number
// of the device behind a port.
// Win32: the D2XX library ftd2xx.dll from the system folder. POSIX: the kernel's ftdi_sio
// driver seen through sysfs.
#include <memory>
#include <string>
#include <string_view>

namespace vyra::plat {

class FtdiDriver {
 public:
  // Loads the driver; a failure is kept in the flags and never retried by this record.
  FtdiDriver();
  ~FtdiDriver();
  FtdiDriver(const FtdiDriver&) = delete;
  FtdiDriver& operator=(const FtdiDriver&) = delete;

  bool driverMissing = false;   // the driver could not be loaded
  bool driverUnusable = false;  // loaded, but lacks an entry point or failed during a lookup

  // Loaded and neither flag set.
  bool IsUsable() const;

  // The serial number of the FTDI device on `portName` (compared without case).
  bool FindFtdiSerial(std::u16string_view portName, std::u16string& serial);

 private:
  struct Backend;
  std::unique_ptr<Backend> backend_;
};

}  // namespace vyra::plat
