// The messages GetLastErrorMsg hands the host: why no usable device was found (index -1),
// or the one-shot message a device left.
#include "api/error_messages.h"

#include <string_view>

#include "api/device_table.h"
#include "discovery/discovery.h"
#include "platform/codepage.h"
#include "device/dura_serial.h"
#include "support/bvl_string.h"
#include "framework/locale.h"

namespace vyra {

namespace {

constexpr std::u16string_view kNotFound = u"The device cannot be found.\nPlease plug in your device and restart Vellumar.";
constexpr std::u16string_view kDriverMissing =
    u"The device driver is not installed.\nPlease plug in your device and restart Vellumar.\n\n"
    u"Refer to the Device Vantrel Installation Guide\nif you continue to see this message.";
constexpr std::u16string_view kDriverUnusable = u"The device driver cannot be loaded.";
constexpr std::u16string_view kFirmwareMismatch =
    u"A device is connected, but can't be used due\nto wrong firmware version. Please contact support for a "
    u"firmware update.";
constexpr std::u16string_view kNotResponding =
    u"The device is not responding. Please power cycle the device and restart Vellumar.";
constexpr std::u16string_view kNoAnswer = u"The device is not responding or powered off.";

// Converted and cut to `size` bytes with its terminator; a failed conversion writes nothing.
void CopyOut(std::u16string_view message, char* buffer, int size) {
  if (buffer && size > 0) BVL::CopyToHostBuffer(message, buffer, static_cast<size_t>(size), HostCodePage());
}

}  // namespace

std::u16string_view NoDeviceMessage(const DriverState& driver, const DuraSerial* lastDevice) {
  if (!lastDevice) {
    if (driver.recordExists) {
      if (driver.driverMissing) return kDriverMissing;
      if (driver.driverUnusable) return kDriverUnusable;
    }
    return kNotFound;
  }
  if (lastDevice->firmwareMismatch.load(std::memory_order_relaxed)) return kFirmwareMismatch;
  if (lastDevice->notResponding.load(std::memory_order_relaxed)) return kNotResponding;
  return kNoAnswer;
}

int LastErrorMessage(int index, char* buffer) {
  if (index == -1) {
    // Devices are initialised after they are appended: the last one is the one that failed.
    std::u16string_view message = NoDeviceMessage(CurrentDriverState(), DeviceCount() ? LastDevice() : nullptr);
    int length = static_cast<int>(message.size()) + 1;
    CopyOut(message, buffer, length);
    return length;
  }
  DuraSerial* device = DeviceAt(index);
  if (!device) return 0;
  if (!buffer) return device->ErrorText().Length() + 1;
  BVL::String text = device->TakeErrorText();
  int length = text.Length() + 1;
  CopyOut(text.View(), buffer, length);
  return length;
}

}  // namespace vyra
