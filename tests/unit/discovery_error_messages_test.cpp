// GetLastErrorMsg: the index -1 message from discovery and the device table, and a device's
// one-shot message.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/device_table.h"
#include "api/error_messages.h"
#include "discovery/discovery.h"
#include "device/dura_serial.h"
#include "support/dura_serial_access.h"

namespace vyra {
namespace {

constexpr char kGuard = 0x7F;

class ErrorMessagesTest : public testing::Test {
 protected:
  ErrorMessagesTest() {
    DestroyDiscovery();
    DestroyAllDevices();
  }
  ~ErrorMessagesTest() override {
    DestroyAllDevices();
    DestroyDiscovery();
  }

  DuraSerial& AddDevice(bool firmwareMismatch = false, bool notResponding = false) {
    auto device = std::make_unique<DuraSerial>(u"\\\\.\\COM9", u"Z800");
    device->firmwareMismatch = firmwareMismatch;
    device->notResponding = notResponding;
    DuraSerial& d = *device;
    AppendDevice(std::move(device));
    return d;
  }

  // Calls with a buffer of guard bytes larger than the result and checks nothing lies past
  // the returned length.
  std::string Message(int index, int* length) {
    std::vector<char> buffer(400, kGuard);
    *length = LastErrorMessage(index, buffer.data());
    for (size_t i = static_cast<size_t>(*length); i < buffer.size(); ++i)
      if (buffer[i] != kGuard) {
        ADD_FAILURE() << "written past the returned length at " << i;
        break;
      }
    if (buffer[0] == kGuard) return "<unchanged>";
    return std::string(buffer.data(), strnlen(buffer.data(), static_cast<size_t>(*length)));
  }
};

TEST_F(ErrorMessagesTest, NoDeviceMessagesFollowTheLastDevicesFlags) {
  struct Case {
    const char* name;
    std::vector<std::pair<bool, bool>> devices;  // firmwareMismatch, notResponding
    int length;
    const char* text;
  } cases[] = {
      {"empty table", {}, 77, "The device cannot be found.\nPlease plug in your device and restart Vellumar."},
      {"firmware mismatch",
       {{true, false}},
       118,
       "A device is connected, but can't be used due\nto wrong firmware version. Please contact support for a firmware "
       "update."},
      {"not responding",
       {{false, true}},
       82,
       "The device is not responding. Please power cycle the device and restart Vellumar."},
      {"both flags: firmware first", {{true, true}}, 118, nullptr},
      {"no flag", {{false, false}}, 45, "The device is not responding or powered off."},
      {"only the last device counts", {{true, true}, {false, false}}, 45, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DestroyAllDevices();
    for (auto [mismatch, silent] : c.devices) AddDevice(mismatch, silent);
    int length = 0;
    std::string text = Message(-1, &length);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(text.size() + 1, static_cast<size_t>(c.length));
    if (c.text) {
      EXPECT_EQ(text, c.text);
    }
    EXPECT_EQ(LastErrorMessage(-1, nullptr), c.length) << "measuring gives the same number";
    EXPECT_EQ(LastErrorMessage(-1, nullptr), c.length) << "reading changes nothing";
  }
}

TEST_F(ErrorMessagesTest, DriverRecordFlagsApplyOnlyToAnEmptyTable) {
  struct Case {
    DriverState driver;
    bool device;
    size_t length;
  } cases[] = {
      {{false, false, false}, false, 76},
      {{true, false, false}, false, 76},
      {{true, true, false}, false, 169},
      {{true, true, true}, false, 169},
      {{true, false, true}, false, 35},
      {{true, true, true}, true, 44},
  };
  DuraSerial device(u"\\\\.\\COM9", u"Z800");
  for (const Case& c : cases) EXPECT_EQ(NoDeviceMessage(c.driver, c.device ? &device : nullptr).size(), c.length);
  EXPECT_EQ(NoDeviceMessage({true, false, true}, nullptr), u"The device driver cannot be loaded.");
}

TEST_F(ErrorMessagesTest, MissingDriverIsReportedWhileTheRecordLives) {
  std::string pattern = (std::filesystem::path(testing::TempDir()) / "vyra-nodriver-XXXXXX").string();
  std::string root = mkdtemp(pattern.data());
  const char* old = getenv("VYRA_SYSFS_ROOT");
  std::string saved = old ? old : "";
  setenv("VYRA_SYSFS_ROOT", root.c_str(), 1);

  EXPECT_EQ(FindNextDevice("Z800"), nullptr);
  int length = 0;
  std::string text = Message(-1, &length);
  EXPECT_EQ(length, 170);
  EXPECT_EQ(text,
            "The device driver is not installed.\nPlease plug in your device and restart Vellumar.\n\n"
            "Refer to the Device Vantrel Installation Guide\nif you continue to see this message.");
  AddDevice(false, true);
  EXPECT_EQ(LastErrorMessage(-1, nullptr), 82) << "a device in the table outranks the driver";
  DestroyAllDevices();
  DestroyDiscovery();
  EXPECT_EQ(LastErrorMessage(-1, nullptr), 77);

  if (old) setenv("VYRA_SYSFS_ROOT", saved.c_str(), 1);
  else unsetenv("VYRA_SYSFS_ROOT");
  std::filesystem::remove_all(root);
}

TEST_F(ErrorMessagesTest, DeviceMessageIsHandedOutOnce) {
  AddDevice();
  DuraSerial& device = AddDevice();
  // A plain device that identifies itself as the branded model leaves a message.
  DuraSerialTestAccess::Handshake(device, {"S", "V,1,0,0,1,VYRA"});
  const std::string message = "Dura VYRA Monitor is not supported by Vellumar.";
  const int k = static_cast<int>(message.size());

  EXPECT_EQ(LastErrorMessage(1, nullptr), k + 1);
  EXPECT_EQ(LastErrorMessage(1, nullptr), k + 1) << "measuring keeps the text";
  int length = 0;
  EXPECT_EQ(Message(1, &length), message);
  EXPECT_EQ(length, k + 1);
  EXPECT_EQ(Message(1, &length), "<unchanged>");
  EXPECT_EQ(length, 1);
  EXPECT_EQ(Message(0, &length), "<unchanged>") << "a device without a message";
  EXPECT_EQ(length, 1);

  const std::string second = "Dura VYRA reported as Brinvale VYRA. Dura VYRA is not supported by Vellumar.";
  const std::string reply = "V,1,0,0,1,VYRA,0,BVL";
  device.HandleReply(reply.data(), static_cast<int>(reply.size()));
  device.firmwareMismatch = true;
  EXPECT_EQ(LastErrorMessage(1, nullptr), static_cast<int>(second.size()) + 1) << "flags are not read on this path";
  EXPECT_EQ(Message(1, &length), second);
}

TEST_F(ErrorMessagesTest, IndexNamingNoDeviceGivesZero) {
  AddDevice();
  AddDevice();
  for (int index : {2, 5, -2}) {
    std::vector<char> buffer(8, kGuard);
    EXPECT_EQ(LastErrorMessage(index, buffer.data()), 0) << index;
    EXPECT_EQ(LastErrorMessage(index, nullptr), 0) << index;
    EXPECT_EQ(buffer, std::vector<char>(8, kGuard));
  }
}

}  // namespace
}  // namespace vyra
