// STUB: replaced by the reply protocol.
#include "serial/dura_serial.h"
namespace vyra {
HResult DuraSerial::HandleReply(const char*, int) { return kS_OK; }
bool DuraSerial::SendCommand(std::string_view) { return false; }
bool DuraSerial::SendUploadSelection() { return false; }
bool DuraSerial::StartSampling() { return true; }
bool DuraSerial::StopSampling() { return true; }
HResult DuraSerial::IdentifyDevice(const BVL::String&) { return kE_FAIL; }
bool DuraSerial::ParseUploadRates(const BVL::String&) { return false; }
bool DuraSerial::BuildChannels() { return false; }
HResult DuraSerial::HandleSampleLine(const BVL::String&) { return kS_OK; }
}  // namespace vyra
