#pragma once
// What sysfs tells about a serial tty: its USB interface and device, and the instance ID in
// the Windows shape that the identifier rules expect. POSIX only.
#include <filesystem>
#include <string>
#include <vector>

namespace vyra::discovery {

// VYRA_SYSFS_ROOT (default /sys) and VYRA_DEV_ROOT (default /dev).
std::filesystem::path SysfsRoot();
std::filesystem::path DevRoot();

struct TtyUsbInfo {
  bool usbParent = false;  // an interface with bInterfaceNumber above the port
  std::string vendorId;    // upper-case hex
  std::string productId;
  bool hasSerial = false;
  std::string serial;
  std::string interfaceNumber;  // as sysfs writes it ("00")
  std::string driver;           // the interface driver's name ("ftdi_sio")
};

// The ttys under <sysfs>/class/tty that have a device, in name order.
std::vector<std::string> ListTtyPorts(const std::filesystem::path& sysfs);

TtyUsbInfo ReadTtyUsbInfo(const std::filesystem::path& sysfs, const std::string& tty);

// FTDIBUS\VID_0403+PID_6001+<serial>A\0000, USB\VID_x&PID_y\<serial>, or TTY\<NAME>\0000.
std::string InstanceIdFor(const std::string& tty, const TtyUsbInfo& info);

// A link in <dev>/serial/by-id resolving to <dev>/<tty> when there is one, else <dev>/<tty>.
std::string DevicePathFor(const std::filesystem::path& dev, const std::string& tty);

}  // namespace vyra::discovery
