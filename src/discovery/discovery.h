#pragma once
// Finding attached monitors: one more device per call, resuming the walk between calls.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vyra {

class DuraSerial;

std::unique_ptr<DuraSerial> FindNextDevice(const char* hostText);
// Destroys the enumerator and the FTDI driver record (CloseAll, unload).
void DestroyDiscovery();

// Driver flags for the index -1 message; false when there is no driver record.
struct DriverState {
  bool recordExists = false;
  bool driverMissing = false;
  bool driverUnusable = false;
};
DriverState CurrentDriverState();

// The host's identifier texts: the runs between commas, empty ones kept; a trailing comma
// adds none; the empty text is one empty piece.
std::vector<std::string_view> SplitIdentifierList(std::string_view text);
// True when a piece occurs (case-sensitive) in the low bytes of the identifier; an empty
// piece occurs in every identifier.
bool MatchesIdentifierList(const std::vector<std::string_view>& list, std::u16string_view identifier);

}  // namespace vyra
