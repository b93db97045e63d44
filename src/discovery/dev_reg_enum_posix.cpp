// The serial-port walk over sysfs: each tty with a device, in name order.
#include <string>
#include <vector>

#include "discovery/sysfs_tty.h"
#include "platform/codepage.h"
#include "platform/port_enum.h"

namespace vyra::plat {

namespace {
std::u16string Wide(const std::string& text) {
  std::u16string wide;
  MultiByteToWide(kCodePageUtf8, text, wide);
  return wide;
}
}  // namespace

struct DevRegEnum::Backend {
  std::filesystem::path sysfs = discovery::SysfsRoot();
  std::filesystem::path dev = discovery::DevRoot();
  std::vector<std::string> ports;  // the snapshot this walk goes through
};

DevRegEnum::DevRegEnum() : backend_(std::make_unique<Backend>()) {
  std::error_code ec;
  if (!std::filesystem::is_directory(backend_->sysfs / "class" / "tty", ec)) return;
  backend_->ports = discovery::ListTtyPorts(backend_->sysfs);
  nextIndex = 0;
}

DevRegEnum::~DevRegEnum() = default;

void DevRegEnum::CloseSet() { backend_->ports.clear(); }

bool DevRegEnum::LoadItem(int32_t index) {
  devicePath.clear();
  instanceId.clear();
  if (index < 0 || static_cast<size_t>(index) >= backend_->ports.size()) return false;
  const std::string& tty = backend_->ports[static_cast<size_t>(index)];
  instanceId = Wide(discovery::InstanceIdFor(tty, discovery::ReadTtyUsbInfo(backend_->sysfs, tty)));
  devicePath = Wide(discovery::DevicePathFor(backend_->dev, tty));
  return true;
}

std::u16string ReadPortName(std::u16string_view instanceId) {
  if (instanceId.empty()) return {};
  std::filesystem::path sysfs = discovery::SysfsRoot();
  for (const std::string& tty : discovery::ListTtyPorts(sysfs))
    if (Wide(discovery::InstanceIdFor(tty, discovery::ReadTtyUsbInfo(sysfs, tty))) == instanceId) return Wide(tty);
  return {};
}

}  // namespace vyra::plat
