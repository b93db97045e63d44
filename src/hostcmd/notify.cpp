// STUB: replaced by the host command protocol.
#include "serial/dura_serial.h"
namespace vyra {
void DuraSerial::NotifyHost() { hostSequence.fetch_add(1, std::memory_order_release); }
uint32_t DuraSerial::WaitForHostNotification(uint32_t, int64_t) { return HostSequence(); }
}  // namespace vyra
