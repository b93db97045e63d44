// STUB: replaced by the serial spine.
#include "platform/serial_port.h"
namespace vyra::plat {
std::unique_ptr<SerialPort> SerialPort::Open(std::u16string_view) { return nullptr; }
void RaiseCurrentThreadPriority() {}
}  // namespace vyra::plat
