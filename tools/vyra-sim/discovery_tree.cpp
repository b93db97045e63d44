#include <cstdio>
#include <filesystem>
#include <fstream>

#include "vyra_sim.h"

namespace vyra::sim {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out)
    throw fs::filesystem_error("cannot write", path, std::make_error_code(std::errc::io_error));
}

// Replaces whatever is at `link` by a symbolic link to `target`.
void Link(const fs::path& target, const fs::path& link) {
  fs::create_directories(link.parent_path());
  std::error_code ec;
  fs::remove(link, ec);
  fs::create_symlink(target, link);
}

// A link inside the tree, written relative to the link's folder as the kernel writes them.
void RelativeLink(const fs::path& target, const fs::path& link) {
  Link(target.lexically_relative(link.parent_path()), link);
}

std::string Hex2(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
  return buf;
}

}  // namespace

std::string ByIdName(const TreePort& port) {
  std::string name = port.driver == "ftdi_sio" ? "usb-FTDI_FT232R_USB_UART" : "usb-Generic_USB_Serial";
  if (!port.serial.empty()) name += "_" + port.serial;
  return name + "-if" + Hex2(port.interfaceNumber) + "-port0";
}

TreePaths LayOutDiscoveryTree(const std::string& root, const std::vector<TreePort>& ports,
                              bool ftdiDriverLoaded) {
  const fs::path base = fs::absolute(root).lexically_normal();
  const fs::path sys = base / "sys", dev = base / "dev";
  fs::create_directories(sys / "class" / "tty");
  fs::create_directories(sys / "bus" / "usb-serial" / "drivers");
  fs::create_directories(dev);
  if (ftdiDriverLoaded) fs::create_directories(sys / "bus" / "usb-serial" / "drivers" / "ftdi_sio");

  for (std::size_t k = 0; k < ports.size(); ++k) {
    const TreePort& p = ports[k];
    fs::path classDir;
    if (!p.deviceLink) {
      classDir = sys / "devices" / "virtual" / "tty" / p.tty;
      fs::create_directories(classDir);
    } else if (!p.usbParent) {
      const fs::path portDir = sys / "devices" / "platform" / "serial8250";
      classDir = portDir / "tty" / p.tty;
      fs::create_directories(classDir);
      Link(fs::path("../../..") / portDir.filename(), classDir / "device");
    } else {
      const std::string usb = "1-" + std::to_string(p.usbPort > 0 ? p.usbPort : int(k) + 1);
      const fs::path usbDir = sys / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / usb;
      WriteFile(usbDir / "idVendor", p.vendor + "\n");
      WriteFile(usbDir / "idProduct", p.product + "\n");
      if (!p.serial.empty()) WriteFile(usbDir / "serial", p.serial + "\n");
      const fs::path ifDir = usbDir / (usb + ":1." + std::to_string(p.interfaceNumber));
      WriteFile(ifDir / "bInterfaceNumber", Hex2(p.interfaceNumber) + "\n");
      const fs::path usbDriver = sys / "bus" / "usb" / "drivers" / p.driver;
      fs::create_directories(usbDriver);
      RelativeLink(usbDriver, ifDir / "driver");
      const fs::path portDir = ifDir / p.tty;
      classDir = portDir / "tty" / p.tty;
      fs::create_directories(classDir);
      Link(fs::path("../../..") / p.tty, classDir / "device");
      const fs::path serialDriver = sys / "bus" / "usb-serial" / "drivers" / p.driver;
      if (p.driver != "ftdi_sio") fs::create_directories(serialDriver);
      if (fs::exists(serialDriver)) RelativeLink(serialDriver, portDir / "driver");
      if (p.byIdLink)
        RelativeLink(dev / p.tty, dev / "serial" / "by-id" / ByIdName(p));
    }
    RelativeLink(classDir, sys / "class" / "tty" / p.tty);
    if (!p.target.empty()) Link(p.target, dev / p.tty);
  }
  return {sys.string(), dev.string()};
}

void UnplugPort(const std::string& root, const TreePort& port) {
  const fs::path base = fs::absolute(root).lexically_normal();
  std::error_code ec;
  fs::remove(base / "sys" / "class" / "tty" / port.tty, ec);
  fs::remove(base / "dev" / "serial" / "by-id" / ByIdName(port), ec);
  fs::remove(base / "dev" / port.tty, ec);
}

}  // namespace vyra::sim
