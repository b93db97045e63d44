#include "discovery/sysfs_tty.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace vyra::discovery {

namespace {

fs::path RootFromEnvironment(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return fs::path(value && *value ? value : fallback);
}

// The attribute's first line, as sysfs writes it with a trailing newline.
bool ReadAttribute(const fs::path& file, std::string& value) {
  std::ifstream in(file);
  if (!in) return false;
  std::getline(in, value);
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return true;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

fs::path SysfsRoot() { return RootFromEnvironment("VYRA_SYSFS_ROOT", "/sys"); }
fs::path DevRoot() { return RootFromEnvironment("VYRA_DEV_ROOT", "/dev"); }

std::vector<std::string> ListTtyPorts(const fs::path& sysfs) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(sysfs / "class" / "tty", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code exists;
    if (fs::exists(it->path() / "device", exists)) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TtyUsbInfo ReadTtyUsbInfo(const fs::path& sysfs, const std::string& tty) {
  TtyUsbInfo info;
  std::error_code ec;
  fs::path port = fs::canonical(sysfs / "class" / "tty" / tty / "device", ec);
  if (ec) return info;
  fs::path top = fs::weakly_canonical(sysfs, ec);
  // Up to the USB interface, never above the sysfs root.
  for (fs::path dir = port; !dir.empty() && dir != top && dir != dir.root_path(); dir = dir.parent_path()) {
    std::error_code none;
    if (!fs::exists(dir / "bInterfaceNumber", none)) continue;
    info.usbParent = true;
    ReadAttribute(dir / "bInterfaceNumber", info.interfaceNumber);
    fs::path driver = fs::read_symlink(dir / "driver", none);
    if (!none) info.driver = driver.filename().string();
    fs::path device = dir.parent_path();
    ReadAttribute(device / "idVendor", info.vendorId);
    ReadAttribute(device / "idProduct", info.productId);
    info.vendorId = Upper(info.vendorId);
    info.productId = Upper(info.productId);
    info.hasSerial = ReadAttribute(device / "serial", info.serial);
    break;
  }
  return info;
}

std::string InstanceIdFor(const std::string& tty, const TtyUsbInfo& info) {
  if (!info.usbParent) return "TTY\\" + Upper(tty) + "\\0000";
  if (info.driver == "ftdi_sio") {
    unsigned long number = std::strtoul(info.interfaceNumber.c_str(), nullptr, 16);
    char letter = static_cast<char>('A' + std::min<unsigned long>(number, 25));
    return "FTDIBUS\\VID_" + info.vendorId + "+PID_" + info.productId + "+" + info.serial + letter + "\\0000";
  }
  return "USB\\VID_" + info.vendorId + "&PID_" + info.productId + "\\" +
         (info.hasSerial && !info.serial.empty() ? info.serial : info.interfaceNumber);
}

std::string DevicePathFor(const fs::path& dev, const std::string& tty) {
  fs::path node = dev / tty;
  std::error_code ec;
  fs::path target = fs::canonical(node, ec);
  if (!ec) {
    std::vector<fs::path> links;
    for (fs::directory_iterator it(dev / "serial" / "by-id", ec), end; !ec && it != end; it.increment(ec))
      links.push_back(it->path());
    std::sort(links.begin(), links.end());
    for (const fs::path& link : links) {
      std::error_code bad;
      if (fs::canonical(link, bad) == target && !bad) return link.string();
    }
  }
  return node.string();
}

}  // namespace vyra::discovery
