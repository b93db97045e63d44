// Device object lifecycle: handshake wait, reader thread, receive pass, close.
#include "serial/dura_serial.h"

#include <chrono>
#include <climits>
#include <thread>

#include "framework/log.h"

namespace vyra {

namespace {

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The leading decimal number of a text: white space, an optional sign, digits; no digits
// give 0. Saturates instead of overflowing.
long LeadingInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

}  // namespace

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

DuraSerial::DuraSerial(std::u16string path, std::u16string identifier)
    : devicePath(std::move(path)),
      serialNumber(SerialNumberFromPath(devicePath)),
      isBranded(identifier.find(u"BVLVYRA") != std::u16string::npos) {
  LogEntry("devicePath: ", std::u16string_view(devicePath));
  lastWaveformTime = NowMs();
}

DuraSerial::~DuraSerial() {
  // The reader goes first and is waited for without limit: after it, no other thread sends
  // commands, so the observer (whose owner is often gone by now) can be dropped before the
  // end command goes out.
  StopReaderThread(-1);
  commandObserver = nullptr;
  try {
    Close();
  } catch (...) {
  }
  try {
    ReleaseHostDocument();
  } catch (...) {
  }
}

HResult DuraSerial::Initialise() {
  // A reader left by an earlier Initialise must have ended before the ring and the protocol
  // state are used by a new one.
  StopReaderThread(-1);

  if (!OpenLine(devicePath)) {
    deviceFailed = true;
    return kE_FAIL;
  }
  if (!Configure(115200, 1)) {
    Close();
    deviceFailed = true;
    return kE_FAIL;
  }
  lineBuffer.Clear();
  // Set before "S" goes out: the monitor's answer may be handled before SendCommand returns.
  acquisitionState.store(kAwaitStart, std::memory_order_release);
  if (!StartReader(Line())) {
    Close();
    deviceFailed = true;
    return kE_FAIL;
  }
  SendCommand("S");

  // The reader's move to state 4 ends the wait: a device that answers at once is ready in
  // milliseconds, one that never answers fails at the same limit.
  switch (WaitForDevice([this] { return acquisitionState.load(std::memory_order_acquire) >= kAwaitBrandEcho; },
                        timing.handshakeLimitMs)) {
    case WaitEnd::Ready:
      break;
    case WaitEnd::TimedOut:
      notResponding = true;
      deviceFailed = true;
      return kE_FAIL;
    case WaitEnd::Closed:  // closed from another thread: not a silent device
      deviceFailed = true;
      return kE_FAIL;
  }

  if (LeadingInteger(FirmwareLevel()) == 1) return kS_OK;
  firmwareMismatch = true;
  deviceFailed = true;
  return kE_FAIL;
}

bool DuraSerial::Close() {
  // Host threads waiting for this device give up now rather than at their limit.
  closeCount.fetch_add(1, std::memory_order_acq_rel);
  NotifyHost();
  try {
    SendCommand("X");
  } catch (...) {
  }
  SleepMs(timing.closeSettleMs);
  StopReaderThread(timing.closeJoinMs);
  return COMPort::Close();
}

bool DuraSerial::StartReader(std::shared_ptr<plat::SerialPort> line) {
  auto fresh = std::make_unique<Reader>();
  // Without its stop event a reader could never be stopped, and every later Close, CloseAll
  // or destructor would wait for it for good.
  if (!fresh->stop.Valid() || !fresh->end.Valid()) return false;
  fresh->line = std::move(line);
  Reader* r = fresh.get();
  reader = std::move(fresh);
  try {
    r->thread = std::thread([this, r] {
      r->end.Enter();
      plat::RaiseCurrentThreadPriority();
      ReaderLoop();
      if (plat::InLoaderLockUnload()) r->end.Park();  // never returns: platform/thread_end.h
      std::lock_guard l(r->doneMutex);
      r->done = true;
      r->doneCv.notify_all();
    });
  } catch (...) {
    reader.reset();
    return false;
  }
  return true;
}

void DuraSerial::StopReaderThread(int waitMs) {
  if (!reader) return;
  Reader& r = *reader;
  if (plat::InLoaderLockUnload()) {
    EndReaderForUnload(NowMs());  // the unload hook has waited already
    return;
  }
  if (!r.stopSignalled) {
    r.stopSignalled = true;
    r.stop.Set();
  } else if (waitMs > 0) {
    waitMs = 0;  // a bounded wait was already spent on this thread
  }
  bool ended;
  {
    std::unique_lock l(r.doneMutex);
    if (waitMs < 0)
      r.doneCv.wait(l, [&] { return r.done; });
    else
      r.doneCv.wait_for(l, std::chrono::milliseconds(waitMs), [&] { return r.done; });
    ended = r.done;
  }
  if (!ended) return;  // still running: the Reader (and the line it holds) stays
  if (r.thread.joinable()) r.thread.join();
  reader.reset();
}

void DuraSerial::SignalReaderStop() {
  if (reader && !reader->stopSignalled) {
    reader->stopSignalled = true;
    reader->stop.Set();
  }
}

bool DuraSerial::EndReaderForUnload(int64_t deadlineMs) {
  if (!reader) return true;
  SignalReaderStop();
  // Neither joined nor waited for without limit: the reader parks and is ended there, or its
  // thread has ended. One that gets to neither by the deadline is left running, and with it
  // this object and everything it reaches.
  const int64_t left = deadlineMs - NowMs();
  if (!reader->end.EndForUnload(left > 0 ? static_cast<int>(left) : 0)) {
    readerLeftRunning.store(true, std::memory_order_relaxed);
    return false;
  }
  reader->thread.detach();
  reader.reset();
  return true;
}

void DuraSerial::ReaderLoop() {
  // The thread procedure of the current reader; `reader` is replaced only after this thread
  // has been joined.
  Reader* r = reader.get();
  if (!r || !r->line) return;
  try {
    for (;;) {
      auto result = r->line->WaitReadable(r->stop, r->line->IdleWaitMs());
      if (result == plat::SerialPort::WaitResult::Stopped) return;
      if (result == plat::SerialPort::WaitResult::Timeout) continue;
      if (result == plat::SerialPort::WaitResult::Readable) {
        ReceivePass();
        if (!r->lineFailed) continue;
      }
      break;
    }
  } catch (...) {
  }
  // The line has failed (or the thread could not go on): nothing more will arrive, so park
  // until told to stop rather than spin on a dead descriptor.
  deviceFailed = true;
  r->stop.Wait(-1);
}

HResult DuraSerial::ReceivePass() {
  char buffer[ReceiveRing::kSize];
  if (Reader* r = reader.get(); r && r->line) {
    long n = r->line->ReadQueued(buffer, static_cast<size_t>(lineBuffer.Free()));
    TraceReceived(buffer, n);
    if (n < 0)
      r->lineFailed = true;
    else
      lineBuffer.Append(buffer, static_cast<int>(n));
  }
  const uint32_t sequenceBefore = HostSequence();
  CutResult cut = CutLines(lineBuffer, buffer, [this](const char* bytes, int length) -> int32_t {
    try {
      return HandleReply(bytes, length);
    } catch (...) {
      return kE_FAIL;
    }
  });
  // Sample lines and state changes have already woken the host; a second wake would only
  // cost it another futile pass.
  if (cut.dispatched > 0 && HostSequence() == sequenceBefore) NotifyHost();
  return cut.status;
}

std::string DuraSerial::DeviceName() const {
  std::lock_guard l(textMutex);
  return deviceName;
}
std::string DuraSerial::FirmwareVersion() const {
  std::lock_guard l(textMutex);
  return firmwareVersion;
}
std::string DuraSerial::FirmwareLevel() const {
  std::lock_guard l(textMutex);
  return firmwareLevel;
}
BVL::String DuraSerial::ErrorText() const {
  std::lock_guard l(textMutex);
  return errorText;
}
BVL::String DuraSerial::TakeErrorText() {
  std::lock_guard l(textMutex);
  BVL::String t = errorText;
  errorText = BVL::String();
  return t;
}
void DuraSerial::SetErrorText(const BVL::String& text) {
  std::lock_guard l(textMutex);
  errorText = text;
}
bool DuraSerial::DescriptionComplete() const {
  std::lock_guard l(textMutex);
  return !channelNamesLine.IsEmpty() && !channelUnitsLine.IsEmpty() && !channelMaximaLine.IsEmpty() &&
         !channelMinimaLine.IsEmpty();
}

}  // namespace vyra
