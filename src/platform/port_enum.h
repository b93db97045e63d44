#pragma once
// Walks the present COM-port device interfaces one at a time and names each one's port.
// Win32: the SetupAPI interface list of the COM-port class and the registry.
// POSIX: the serial ttys under sysfs, described in the Windows instance-ID shape.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vyra::plat {

class DevRegEnum {
 public:
  // Stands before the first present interface; the walk has ended at once when the system
  // offers no list.
  DevRegEnum();
  virtual ~DevRegEnum();
  DevRegEnum(const DevRegEnum&) = delete;
  DevRegEnum& operator=(const DevRegEnum&) = delete;

  // Loads the next interface. A walk that has ended stays ended for this object.
  virtual bool MoveNext();

  // In place: keeps what follows the last `c`, then what precedes the first '\'.
  static void TrimInstanceId(std::u16string& text, char16_t c);

  virtual bool GetDevicePath(std::u16string& out) const {
    out = devicePath;
    return true;
  }
  virtual std::u16string GetInstanceId() const { return instanceId; }
  virtual std::u16string GetFriendlyName() const { return friendlyName; }
  virtual std::u16string GetManufacturer() const { return manufacturer; }

 protected:
  virtual bool LoadItem(int32_t index);
  // Releases the system's list; the next index is then -1.
  void CloseSet();

  std::u16string friendlyName;
  std::u16string deviceDescription;
  std::u16string manufacturer;
  std::u16string instanceId;
  std::u16string devicePath;
  int32_t nextIndex = -1;

 private:
  struct Backend;
  std::unique_ptr<Backend> backend_;
};

// The port name ("COM5", "ttyUSB0") of the device with this instance ID; empty when unknown.
std::u16string ReadPortName(std::u16string_view instanceId);

}  // namespace vyra::plat
