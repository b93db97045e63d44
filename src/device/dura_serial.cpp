// The device: the link's reader thread runs the protocol core; host threads read what it
// publishes and wait on its notification.
#include "device/dura_serial.h"

#include <chrono>
#include <climits>
#include <regex>
#include <thread>

#include "framework/log.h"
#include "platform/codepage.h"
#include "support/hot_path.h"

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

// Channel records built by this process so far (every device); numbers their log entries.
std::atomic<int32_t> channelCounter{0};

}  // namespace

std::string LowBytes(std::u16string_view wide) {
  std::string narrow(wide.size(), '\0');
  for (size_t i = 0; i < wide.size(); ++i) narrow[i] = static_cast<char>(wide[i] & 0xFF);
  return narrow;
}

std::string SerialNumberFromPath(std::u16string_view path) {
  static const std::regex prefixes[] = {
      std::regex("(z800)([0-9]+)", std::regex::ECMAScript | std::regex::icase),
      std::regex("(vez)([0-9]+)", std::regex::ECMAScript | std::regex::icase),
      std::regex("(bvlvyra)([0-9]+)", std::regex::ECMAScript | std::regex::icase),
  };
  const std::string narrow = LowBytes(path);
  std::smatch match;
  for (const std::regex& prefix : prefixes)
    if (std::regex_search(narrow, match, prefix)) return match[2].str();
  return {};
}

DuraSerial::DuraSerial(std::u16string path, std::u16string identifier)
    : devicePath(std::move(path)),
      serialNumber(SerialNumberFromPath(devicePath)),
      isBranded(identifier.find(u"BVLVYRA") != std::u16string::npos),
      core_(isBranded, *this),
      link_(*this) {
  LogEntry("devicePath: ", std::u16string_view(devicePath));
}

DuraSerial::~DuraSerial() {
  // The reader goes first and is waited for without limit: after it, no other thread sends
  // commands, so the observer (whose owner is often gone by now) can be dropped before the
  // end command goes out.
  link_.StopReader(-1);
  commandObserver = nullptr;
  try {
    Close();
  } catch (...) {
  }
  try {
    document_.Release();
  } catch (...) {
  }
}

HResult DuraSerial::Initialise() {
  // A reader left by an earlier Initialise must have ended before the ring and the protocol
  // state are used by a new one.
  link_.StopReader(-1);

  if (!link_.OpenPath(devicePath)) {
    deviceFailed = true;
    return kE_FAIL;
  }
  if (!link_.Configure(115200, 1)) {
    Close();
    deviceFailed = true;
    return kE_FAIL;
  }
  {
    // Held from before the reader starts: its first line is handled in the state "S" is
    // answered in, also when the answer comes before the write returns.
    std::unique_lock lock(coreMutex_);
    if (!link_.StartReader()) {
      lock.unlock();
      Close();
      deviceFailed = true;
      return kE_FAIL;
    }
    core_.BeginHandshake();
    state_.store(core_.State(), std::memory_order_release);
  }

  // The reader's move to state 4 ends the wait: a device that answers at once is ready in
  // milliseconds, one that never answers fails at the same limit.
  switch (WaitForDevice([this] { return State() >= kAwaitBrandEcho; }, timing.handshakeLimitMs)) {
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
  wake_.Close();
  try {
    SendCommand("X");
  } catch (...) {
  }
  SleepMs(timing.closeSettleMs);
  link_.StopReader(timing.closeJoinMs);
  return link_.Close();
}

bool DuraSerial::SendCommand(std::string_view text) {
  // The device's frame is 30 bytes with its terminator, but a command that does not fit is
  // still sent whole: a cut command would select the wrong parameters or rate.
  char small[32];
  std::string large;
  const char* frame = small;
  const size_t size = text.size() + 2;
  try {
    if (size <= sizeof small) {
      small[0] = ':';
      text.copy(small + 1, text.size());
      small[size - 1] = '\n';
    } else {
      large.reserve(size);
      large += ':';
      large += text;
      large += '\n';
      frame = large.data();
    }
    if (commandObserver) commandObserver(std::string_view(frame, size));
  } catch (...) {
    return false;
  }
  return link_.WriteBytes(frame, size);
}

bool DuraSerial::StartSampling() {
  document_.Refresh();
  rings_.nextLine.store(0, std::memory_order_relaxed);
  WithCore([](ProtocolCore& core) { core.StartSampling(); });
  return true;
}

bool DuraSerial::StopSampling() {
  WithCore([](ProtocolCore& core) { core.StopSampling(); });
  return true;
}

bool DuraSerial::SelectPeriod(int32_t period) {
  return WithCore([period](ProtocolCore& core) { return core.SelectPeriod(period); });
}

std::string DuraSerial::DeviceName() const {
  std::lock_guard l(coreMutex_);
  return core_.DeviceName();
}
std::string DuraSerial::FirmwareVersion() const {
  std::lock_guard l(coreMutex_);
  return core_.FirmwareVersion();
}
std::string DuraSerial::FirmwareLevel() const {
  std::lock_guard l(coreMutex_);
  return core_.FirmwareLevel();
}
BVL::String DuraSerial::ErrorText() const {
  std::lock_guard l(coreMutex_);
  return core_.ErrorText();
}
BVL::String DuraSerial::TakeErrorText() {
  std::lock_guard l(coreMutex_);
  return core_.TakeErrorText();
}
bool DuraSerial::DescriptionComplete() const {
  std::lock_guard l(coreMutex_);
  return core_.DescriptionComplete();
}
int32_t DuraSerial::UploadPeriod() const {
  std::lock_guard l(coreMutex_);
  return core_.UploadPeriod();
}

HResult DuraSerial::HandleReply(const char* bytes, int length) {
  const int32_t status = Line(bytes, length);
  PassEnd(1);
  return status;
}

VYRA_HOT_PATH int32_t DuraSerial::Line(const char* bytes, int length) {
  return WithCore([&](ProtocolCore& core) {
    return core.HandleLine(std::string_view(bytes, static_cast<size_t>(length)), LineTime(passNowMs_, &NowMs));
  });
}

VYRA_HOT_PATH void DuraSerial::PassEnd(int dispatched) {
  passNowMs_ = -1;
  if (dispatched == 0) return;
  // The comments the lines made go to the host outside the core's lock: the host may call
  // back into the plug-in from AddComment.
  std::vector<PendingComment> posting;
  int32_t vpr = -1;
  if (commentsPending_.load(std::memory_order_relaxed)) {
    std::lock_guard lock(coreMutex_);
    posting.swap(comments_);
    commentsPending_.store(false, std::memory_order_relaxed);
    vpr = core_.VprChannel();
  }
  for (const PendingComment& c : posting) {
    const ChannelRecord* channel = Channel(vpr);
    if (!channel || !channel->enabled.load(std::memory_order_relaxed)) continue;
    try {
      document_.AddComment(channel->name, c.samples, c.periodUs, c.text);
    } catch (...) {
    }
  }
  NotifyHost();
}

void DuraSerial::LineLost() { deviceFailed = true; }

void DuraSerial::Send(std::string_view command) { SendCommand(command); }

void DuraSerial::ChannelsBuilt() {
  rings_.Publish(core_.Channels());
  for (const ChannelInfo& c : core_.Channels()) {
    const int32_t number = channelCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    // Names and units are UTF-8 (measurement names, "°C", "µL"); widened as ANSI text they
    // would reach the log garbled on Windows.
    std::u16string entry;
    plat::MultiByteToWide(plat::kCodePageUtf8,
                          std::to_string(number) + " | " + c.name + " | gainlist: " + c.gainListText +
                              " | basescaling: " + c.baseScalingText,
                          entry);
    LogEntry("channel: ", std::u16string_view(entry));
  }
}

VYRA_HOT_PATH void DuraSerial::Value(int32_t channel, int32_t value) { rings_.Push(channel, value); }

void DuraSerial::Comment(int64_t samples, const BVL::String& text) {
  // Waveform samples keep pace with the sample lines, which arrive at the current upload
  // period; the channel's own period dates from its creation and is stale once the host
  // has changed the rate.
  const int32_t current = core_.UploadPeriod();
  const int32_t vpr = core_.VprChannel();
  const double period = current > 0 ? current : core_.Channels()[static_cast<size_t>(vpr)].samplePeriod;
  comments_.push_back(PendingComment{static_cast<double>(samples), period, text});
  commentsPending_.store(true, std::memory_order_relaxed);
}

void DuraSerial::Note(std::string_view label, const BVL::String& text) { LogEntry(label, text); }

}  // namespace vyra
