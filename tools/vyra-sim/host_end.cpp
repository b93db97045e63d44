// The host's end of a simulated monitor's terminal, for tests and tools that speak the
// protocol without the plug-in.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "vyra_sim.h"

namespace vyra::sim {

using Clock = std::chrono::steady_clock;

HostEnd::HostEnd(const std::string& slavePath) {
  fd_ = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
}

HostEnd::~HostEnd() {
  if (fd_ >= 0) ::close(fd_);
}

bool HostEnd::Send(const std::string& command) {
  const std::string frame = ":" + command + "\n";
  return ::write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

void HostEnd::Fill(int waitMs) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, waitMs) <= 0) return;
  char tmp[4096];
  const ssize_t n = ::read(fd_, tmp, sizeof tmp);
  if (n > 0)
    buf_.append(tmp, static_cast<std::size_t>(n));
  else if (n == 0 || errno == EIO || (p.revents & POLLHUP))
    hungUp_ = true;
}

std::string HostEnd::ReadFor(std::chrono::milliseconds span) {
  const auto end = Clock::now() + span;
  while (!hungUp_ && Clock::now() < end) Fill(10);
  std::string got;
  got.swap(buf_);
  return got;
}

std::optional<std::string> HostEnd::Line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto lf = buf_.find('\n'); lf != std::string::npos) {
      std::string line = buf_.substr(0, lf);
      buf_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || hungUp_) return std::nullopt;
    Fill(static_cast<int>(left.count()) + 1);
  }
}

}  // namespace vyra::sim
