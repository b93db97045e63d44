// STUB: replaced by the host command protocol.
#include "protocol/channel_record.h"
#include "serial/dura_serial.h"
namespace vyra {
bool DuraSerial::RunHostCommand(uint32_t, HostCommandRecord*) { return false; }
bool DuraSerial::ReadDataLines(char*, int32_t) { return false; }
char* DuraSerial::FormatDataLine(int32_t, char* d, int32_t, int32_t&) { return d; }
void DuraSerial::DiscardSamples() {}
bool DuraSerial::UniqueId(int32_t*) { return false; }
bool DuraSerial::ReadLine(char*, int32_t, int32_t) { return false; }
void BuildSetupTexts(ChannelRecord&, int32_t, const std::string&) {}
}  // namespace vyra
