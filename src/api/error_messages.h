#pragma once
#include <string_view>

namespace vyra {

class DuraSerial;
struct DriverState;

// GetLastErrorMsg: the message length with its NUL; the text converted into `buffer`.
int LastErrorMessage(int index, char* buffer);

// The index -1 message: from the driver record when the table is empty (lastDevice null),
// else from the flags of the last device of the table.
std::u16string_view NoDeviceMessage(const DriverState& driver, const DuraSerial* lastDevice);

}  // namespace vyra
