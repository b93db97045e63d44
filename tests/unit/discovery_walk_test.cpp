// Discovery over laid-out sysfs and /dev trees of the kernel's shape.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "api/error_messages.h"
#include "discovery/discovery.h"
#include "platform/ftdi_driver.h"
#include "platform/port_enum.h"
#include "device/dura_serial.h"

namespace fs = std::filesystem;

namespace vyra {
namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A sysfs and /dev tree with serial ttys behind USB interfaces, platform ttys and virtual
// ttys, as the kernel lays them out.
class PortTree {
 public:
  PortTree() {
    std::string pattern = (fs::path(testing::TempDir()) / "vyra-ports-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    sysfs_ = root_ / "sys";
    dev_ = root_ / "dev";
    fs::create_directories(sysfs_ / "class" / "tty");
    fs::create_directories(dev_ / "serial" / "by-id");
    fs::create_directories(dev_ / "pts");
  }
  ~PortTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& Sysfs() const { return sysfs_; }
  const fs::path& Dev() const { return dev_; }
  const fs::path& Root() const { return root_; }

  void SetFtdiDriverPresent(bool present) {
    fs::path d = sysfs_ / "bus" / "usb-serial" / "drivers" / "ftdi_sio";
    if (present) fs::create_directories(d);
    else fs::remove_all(d);
  }

  struct Usb {
    std::string vid = "0403", pid = "6001";
    std::optional<std::string> serial;
    std::string driver = "ftdi_sio";
    std::string interfaceNumber = "00";
    std::optional<std::string> byIdName;  // a /dev/serial/by-id link
  };

  void AddUsbPort(const std::string& tty, const Usb& usb) {
    fs::path device = sysfs_ / "devices/pci0000:00/0000:00:14.0/usb1" / ("1-" + std::to_string(++usbPorts_));
    fs::create_directories(device);
    Write(device / "idVendor", usb.vid);
    Write(device / "idProduct", usb.pid);
    if (usb.serial) Write(device / "serial", *usb.serial);
    fs::path iface = device / (device.filename().string() + ":1.0");
    fs::create_directories(iface);
    Write(iface / "bInterfaceNumber", usb.interfaceNumber);
    fs::path driverDir = sysfs_ / "bus/usb/drivers" / usb.driver;
    fs::create_directories(driverDir);
    fs::create_directory_symlink(driverDir, iface / "driver");
    AddClassEntry(tty, iface / tty);
    AddDevNode(tty, usb.byIdName);
  }

  // A tty without a USB parent (a platform UART).
  void AddPlatformPort(const std::string& tty) {
    AddClassEntry(tty, sysfs_ / "devices/platform/serial8250" / tty);
    AddDevNode(tty, std::nullopt);
  }

  // A tty without a device (virtual console): never a port.
  void AddVirtualTty(const std::string& tty) {
    fs::path classDir = sysfs_ / "devices/virtual/tty" / tty;
    fs::create_directories(classDir);
    fs::create_directory_symlink(classDir, sysfs_ / "class/tty" / tty);
  }

  // The path discovery hands the device object for this tty.
  std::u16string DevicePath(const std::string& tty) const { return Wide(paths_.at(tty)); }
  std::string TtyOf(const std::u16string& path) const {
    for (const auto& [tty, p] : paths_)
      if (Wide(p) == path) return tty;
    return "?";
  }

 private:
  static void Write(const fs::path& file, const std::string& value) { std::ofstream(file) << value << "\n"; }

  void AddClassEntry(const std::string& tty, const fs::path& portDir) {
    fs::path classDir = portDir / "tty" / tty;
    fs::create_directories(classDir);
    fs::create_directory_symlink("../../../" + tty, classDir / "device");
    fs::create_directory_symlink(classDir, sysfs_ / "class/tty" / tty);
  }

  void AddDevNode(const std::string& tty, const std::optional<std::string>& byId) {
    std::string slave = std::to_string(devNodes_++);
    std::ofstream(dev_ / "pts" / slave).put('\0');
    fs::create_symlink("pts/" + slave, dev_ / tty);
    if (byId) {
      fs::create_symlink("../../" + tty, dev_ / "serial/by-id" / *byId);
      paths_[tty] = (dev_ / "serial/by-id" / *byId).string();
    } else {
      paths_[tty] = (dev_ / tty).string();
    }
  }

  fs::path root_, sysfs_, dev_;
  int usbPorts_ = 0;
  int devNodes_ = 0;
  std::map<std::string, std::string> paths_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class DiscoveryWalkTest : public testing::Test {
 protected:
  DiscoveryWalkTest() : sysfsEnv_("VYRA_SYSFS_ROOT", tree.Sysfs().string()), devEnv_("VYRA_DEV_ROOT", tree.Dev().string()) {
    tree.SetFtdiDriverPresent(true);
    DestroyDiscovery();
  }
  ~DiscoveryWalkTest() override { DestroyDiscovery(); }

  // Four ports in name order: ttyACM0 (USB, not FTDI), ttyS0 (no USB parent), ttyUSB0 and
  // ttyUSB1 (FTDI), plus a virtual console.
  void LayOutMixedPorts() {
    tree.AddUsbPort("ttyUSB0", {.serial = "Z8001234", .byIdName = "usb-FTDI_FT232R_USB_UART_Z8001234-if00-port0"});
    tree.AddUsbPort("ttyUSB1", {.vid = "abcd",
                                .serial = "VEZ0042",
                                .interfaceNumber = "01",
                                .byIdName = "usb-FTDI_Dual_RS232_VEZ0042-if01-port0"});
    tree.AddUsbPort("ttyACM0", {.vid = "2341", .pid = "0043", .serial = "SER9", .driver = "cdc_acm",
                                .byIdName = "usb-Arduino_SER9-if00"});
    tree.AddPlatformPort("ttyS0");
    tree.AddVirtualTty("tty0");
  }

  // Every device one host text finds before the walk ends, by tty.
  std::vector<std::string> FindAll(const char* hostText) {
    std::vector<std::string> found;
    for (int i = 0; i < 10; ++i) {
      std::unique_ptr<DuraSerial> device = FindNextDevice(hostText);
      if (!device) return found;
      found.push_back(TtyOf(device->devicePath));
    }
    ADD_FAILURE() << "the walk did not end";
    return found;
  }

  std::string TtyOf(const std::u16string& path) { return tree.TtyOf(path); }

  PortTree tree;

 private:
  ScopedEnv sysfsEnv_, devEnv_;
};

TEST_F(DiscoveryWalkTest, ResumesBetweenCallsAndStartsOverAfterTheEnd) {
  tree.AddUsbPort("ttyUSB0", {.serial = "Z8001234", .byIdName = "usb-FTDI_FT232R_USB_UART_Z8001234-if00-port0"});

  std::unique_ptr<DuraSerial> first = FindNextDevice("Z800");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->devicePath, tree.DevicePath("ttyUSB0"));
  EXPECT_EQ(first->serialNumber, "1234");
  EXPECT_FALSE(first->isBranded);
  EXPECT_TRUE(CurrentDriverState().recordExists);

  EXPECT_EQ(FindNextDevice("Z800"), nullptr);
  EXPECT_FALSE(CurrentDriverState().recordExists) << "the end of the walk drops the driver record";

  std::unique_ptr<DuraSerial> again = FindNextDevice("Z800");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->devicePath, tree.DevicePath("ttyUSB0"));
  EXPECT_NE(again.get(), first.get());

  DestroyDiscovery();
  EXPECT_FALSE(CurrentDriverState().recordExists);
  EXPECT_NE(FindNextDevice("Z800"), nullptr) << "a fresh walk starts at the first port";
}

TEST_F(DiscoveryWalkTest, HostTextsSelectPortsInWalkOrder) {
  LayOutMixedPorts();
  struct Case {
    const char* hostText;
    std::vector<std::string> found;
  } cases[] = {
      {"Z800", {"ttyUSB0"}},
      {"z800", {}},  // case-sensitive
      {"", {"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1"}},
      {",XYZ", {"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1"}},
      {"VEZ,Z800", {"ttyUSB0", "ttyUSB1"}},
      {"Z800,", {"ttyUSB0"}},  // a trailing comma adds no empty piece
      {"USB", {"ttyACM0"}},    // a USB instance ID trims to "USB"
      {"TTY", {"ttyS0"}},
      {"0042B", {"ttyUSB1"}},  // interface 1 carries the letter B
      {"NOPE,ALSO", {}},
  };
  for (const Case& c : cases) {
    DestroyDiscovery();
    EXPECT_EQ(FindAll(c.hostText), c.found) << "host text \"" << c.hostText << "\"";
  }
}

TEST_F(DiscoveryWalkTest, BrandedIdentifierMarksTheDevice) {
  tree.AddUsbPort("ttyUSB0", {.serial = "BVLVYRA0042", .byIdName = "usb-FTDI_FT232R_USB_UART_BVLVYRA0042-if00-port0"});
  std::unique_ptr<DuraSerial> device = FindNextDevice("BVLVYRA");
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(device->isBranded);
  EXPECT_EQ(device->serialNumber, "0042");
}

TEST_F(DiscoveryWalkTest, EmptyIdentifierTakesTheFtdiSerial) {
  // A serial starting with '\' leaves nothing of the instance ID after trimming.
  tree.AddUsbPort("ttyUSB0", {.serial = "\\Q7", .byIdName = std::nullopt});
  EXPECT_TRUE(FindAll("Q7A").empty()) << "the trimmed instance ID is not used";
  DestroyDiscovery();
  EXPECT_EQ(FindAll("\\Q7"), std::vector<std::string>{"ttyUSB0"});
}

TEST_F(DiscoveryWalkTest, MissingFtdiDriverStopsEveryCallUntilDestroyed) {
  LayOutMixedPorts();
  tree.SetFtdiDriverPresent(false);
  fs::path log = tree.Root() / "log.txt";
  ScopedEnv logEnv("VYRA_LOG", log.string());

  EXPECT_EQ(FindNextDevice(""), nullptr);
  EXPECT_EQ(FindNextDevice("TTY"), nullptr) << "not even ports identified without the driver";
  DriverState state = CurrentDriverState();
  EXPECT_TRUE(state.recordExists);
  EXPECT_TRUE(state.driverMissing);
  EXPECT_FALSE(state.driverUnusable);
  EXPECT_EQ(LastErrorMessage(-1, nullptr), 170);

  tree.SetFtdiDriverPresent(true);
  EXPECT_EQ(FindNextDevice(""), nullptr) << "a failed load is not retried by the same record";

  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) EXPECT_NE(line.find(": !!! Device driver not installed or missing."), std::string::npos) << line;

  DestroyDiscovery();
  EXPECT_EQ(LastErrorMessage(-1, nullptr), 77);
  EXPECT_EQ(FindAll(""), (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1"}));
}

TEST_F(DiscoveryWalkTest, InterfacesCarryWindowsShapedInstanceIds) {
  LayOutMixedPorts();
  tree.AddUsbPort("ttyUSB2", {.pid = "6015", .serial = std::nullopt, .driver = "pl2303", .byIdName = std::nullopt});  // no serial: the interface number
  struct Expected {
    std::u16string instanceId;
    std::string tty;
  } expected[] = {
      {u"USB\\VID_2341&PID_0043\\SER9", "ttyACM0"},
      {u"TTY\\TTYS0\\0000", "ttyS0"},
      {u"FTDIBUS\\VID_0403+PID_6001+Z8001234A\\0000", "ttyUSB0"},
      {u"FTDIBUS\\VID_ABCD+PID_6001+VEZ0042B\\0000", "ttyUSB1"},
      {u"USB\\VID_0403&PID_6015\\00", "ttyUSB2"},
  };
  plat::DevRegEnum walk;
  for (const Expected& e : expected) {
    ASSERT_TRUE(walk.MoveNext()) << e.tty;
    EXPECT_EQ(walk.GetInstanceId(), e.instanceId);
    std::u16string path;
    EXPECT_TRUE(walk.GetDevicePath(path));
    EXPECT_EQ(path, e.tty == "ttyUSB2" ? Wide((tree.Dev() / "ttyUSB2").string()) : tree.DevicePath(e.tty));
    EXPECT_EQ(plat::ReadPortName(e.instanceId), Wide(e.tty));
  }
  EXPECT_FALSE(walk.MoveNext());
  EXPECT_FALSE(walk.MoveNext()) << "an ended walk stays ended";
  EXPECT_EQ(plat::ReadPortName(u"FTDIBUS\\VID_0403+PID_6001+NOPEA\\0000"), u"");
  EXPECT_EQ(plat::ReadPortName(u""), u"");
}

TEST_F(DiscoveryWalkTest, FtdiSerialOfAPortComesFromItsUsbDevice) {
  LayOutMixedPorts();
  plat::FtdiDriver driver;
  ASSERT_TRUE(driver.IsUsable());
  std::u16string serial;
  EXPECT_TRUE(driver.FindFtdiSerial(u"TTYUSB1", serial)) << "port names compare without case";
  EXPECT_EQ(serial, u"VEZ0042");
  for (std::u16string_view port : {u"ttyACM0", u"ttyS0", u"ttyUSB9", u""}) {
    std::u16string none = u"untouched";
    EXPECT_FALSE(driver.FindFtdiSerial(port, none));
  }

  tree.SetFtdiDriverPresent(false);
  plat::FtdiDriver missing;
  EXPECT_TRUE(missing.driverMissing);
  EXPECT_FALSE(missing.IsUsable());
  EXPECT_FALSE(missing.FindFtdiSerial(u"ttyUSB1", serial));
}

TEST_F(DiscoveryWalkTest, NoTtyClassMeansAnEmptyWalk) {
  fs::remove_all(tree.Sysfs() / "class");
  EXPECT_EQ(FindNextDevice(""), nullptr);
  EXPECT_FALSE(CurrentDriverState().recordExists);
}

}  // namespace
}  // namespace vyra
