// The kernel's FTDI driver, seen through sysfs.
#include <string>

#include "discovery/ftdi_lookup.h"
#include "discovery/sysfs_tty.h"
#include "platform/codepage.h"
#include "platform/ftdi_driver.h"

namespace vyra::plat {

struct FtdiDriver::Backend {
  std::filesystem::path sysfs = discovery::SysfsRoot();
  bool loaded = false;
};

FtdiDriver::FtdiDriver() : backend_(std::make_unique<Backend>()) {
  std::error_code ec;
  backend_->loaded = std::filesystem::exists(backend_->sysfs / "bus" / "usb-serial" / "drivers" / "ftdi_sio", ec);
  if (!backend_->loaded) driverMissing = true;
}

FtdiDriver::~FtdiDriver() = default;

bool FtdiDriver::IsUsable() const { return backend_->loaded && !driverMissing && !driverUnusable; }

bool FtdiDriver::FindFtdiSerial(std::u16string_view portName, std::u16string& serial) {
  if (!IsUsable() || portName.empty()) return false;
  const std::u16string wanted = discovery::LowerAscii(portName);
  for (const std::string& tty : discovery::ListTtyPorts(backend_->sysfs)) {
    std::u16string name;
    MultiByteToWide(kCodePageUtf8, tty, name);
    if (discovery::LowerAscii(name) != wanted) continue;
    discovery::TtyUsbInfo info = discovery::ReadTtyUsbInfo(backend_->sysfs, tty);
    if (!info.usbParent || info.driver != "ftdi_sio" || !info.hasSerial) return false;
    MultiByteToWide(kCodePageUtf8, info.serial, serial);  // an empty serial is still this device's
    return true;
  }
  return false;
}

}  // namespace vyra::plat
