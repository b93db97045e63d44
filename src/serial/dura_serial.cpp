// STUB (lifecycle and reader thread): replaced by the serial spine.
#include "serial/dura_serial.h"

#include <chrono>

namespace vyra {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

DuraSerial::DuraSerial(std::u16string path, std::u16string identifier)
    : devicePath(std::move(path)),
      serialNumber(SerialNumberFromPath(devicePath)),
      isBranded(identifier.find(u"BVLVYRA") != std::u16string::npos) {
  lastWaveformTime = NowMs();
}
DuraSerial::~DuraSerial() = default;
HResult DuraSerial::Initialise() { return kE_FAIL; }
bool DuraSerial::Close() { return false; }
void DuraSerial::ReaderLoop() {}
HResult DuraSerial::ReceivePass() { return kS_OK; }
std::string DuraSerial::DeviceName() const { std::lock_guard l(textMutex); return deviceName; }
std::string DuraSerial::FirmwareVersion() const { std::lock_guard l(textMutex); return firmwareVersion; }
std::string DuraSerial::FirmwareLevel() const { std::lock_guard l(textMutex); return firmwareLevel; }
BVL::String DuraSerial::ErrorText() const { std::lock_guard l(textMutex); return errorText; }
BVL::String DuraSerial::TakeErrorText() {
  std::lock_guard l(textMutex);
  BVL::String t = errorText;
  errorText = BVL::String();
  return t;
}
void DuraSerial::SetErrorText(const BVL::String& text) { std::lock_guard l(textMutex); errorText = text; }
bool DuraSerial::DescriptionComplete() const {
  std::lock_guard l(textMutex);
  return !channelNamesLine.IsEmpty() && !channelUnitsLine.IsEmpty() && !channelMaximaLine.IsEmpty() &&
         !channelMinimaLine.IsEmpty();
}
void DuraSerial::StopReaderThread(int) {}

}  // namespace vyra
