// STUB: replaced by the serial spine.
#include "serial/com_port.h"

namespace vyra {
COMPort::~COMPort() = default;
bool COMPort::IsOpen() const { return port != nullptr; }
bool COMPort::Close() { return false; }
HResult COMPort::Open(std::u16string_view, int) { return kE_FAIL; }
bool COMPort::Configure(int, int) { return false; }
bool COMPort::SetBaudRate(int) { return false; }
int COMPort::GetBaudRate() const { return baudRate; }
bool COMPort::CanUseBaudRate(int) { return false; }
bool COMPort::WriteBytes(const void*, size_t) { return false; }
bool COMPort::OpenLine(std::u16string_view) { return false; }
}  // namespace vyra
