// STUB: replaced by the waveform and cycle events.
#include "serial/dura_serial.h"
namespace vyra {
HResult DuraSerial::ParseWaveformInfo(const BVL::String&) { return kS_OK; }
void DuraSerial::ServiceWaveform() {}
HResult DuraSerial::HandleWaveformLine(const BVL::String&) { return kS_OK; }
HResult DuraSerial::HandleMeasurementLine(const BVL::String&) { return kS_OK; }
void DuraSerial::PostComment(int32_t, const BVL::String&) {}
void DuraSerial::RefreshHostDocument() {}
void DuraSerial::ReleaseHostDocument() {}
}  // namespace vyra
