#pragma once
// What the exports ask of a device: the numbered host commands, the data lines ReadLine
// hands out, the unique identifier.
#include <cstdint>

#include "device/dura_serial.h"
#include "hostcmd/host_command_record.h"

namespace vyra {

// The longest data line the host is told to expect (code 1).
inline constexpr int32_t kMaxLineLength = 2048;

// DeviceCommand.
bool RunHostCommand(DuraSerial& device, uint32_t code, HostCommandRecord* record);
// Data lines "+<channel>,<v>,<v>...\n" into the buffer, one channel per line in turn; false
// when none was written.
bool ReadDataLines(DuraSerial& device, char* buffer, int32_t length);
// One channel's line at `destination` (at most `limit` bytes), taking at most `budget`
// values (lowered by those taken); returns the end of what was written.
char* FormatDataLine(DuraSerial& device, int32_t channel, char* destination, int32_t limit, int32_t& budget);
// ReadLine: the first attempt is always made, then the data notification is waited on.
bool ReadLine(DuraSerial& device, char* buffer, int32_t size, int32_t timeoutMs);
// FlushReadBuffer.
void DiscardSamples(DuraSerial& device);
// GetUniqueID.
bool UniqueId(const DuraSerial& device, int32_t* out);

}  // namespace vyra
