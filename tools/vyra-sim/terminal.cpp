#include "terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>

namespace vyra::sim {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

void Terminal::Open() {
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) ThrowErrno("posix_openpt");
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
    int e = errno;
    CloseFd(master);
    errno = e;
    ThrowErrno("pty slave");
  }
  slavePath = name;
  termios t{};
  if (::tcgetattr(master, &t) == 0) {
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B115200);
    ::tcsetattr(master, TCSANOW, &t);
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  // Held open so the master never reads as hung up while the host has the port closed.
  keeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  int wake[2];
  if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    CloseMaster();
    ThrowErrno("pipe2");
  }
  wakeRead = wake[0];
  wakeWrite = wake[1];
}

void Terminal::CloseMaster() {
  CloseFd(master);
  CloseFd(keeper);
}

void Terminal::Close() {
  CloseMaster();
  CloseFd(wakeRead);
  CloseFd(wakeWrite);
}

void Terminal::Wake() {
  char b = 1;
  [[maybe_unused]] ssize_t r = ::write(wakeWrite, &b, 1);
}

void Terminal::DrainWake() {
  char buf[64];
  while (::read(wakeRead, buf, sizeof buf) > 0) {
  }
}

void Terminal::SleepUntil(Clock::time_point t, const std::function<bool()>& interrupted) {
  for (;;) {
    auto now = Clock::now();
    if (now >= t || interrupted()) return;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - now).count();
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    pollfd p{wakeRead, POLLIN, 0};
    if (::ppoll(&p, 1, &ts, nullptr) > 0) DrainWake();
  }
}

std::size_t Terminal::WriteAll(std::string_view bytes, const std::function<bool()>& interrupted) {
  std::size_t done = 0;
  while (master >= 0 && done < bytes.size() && !interrupted()) {
    ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += std::size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    // The host is not reading: wait, as a line whose receiver is busy would.
    pollfd p[2] = {{master, POLLOUT, 0}, {wakeRead, POLLIN, 0}};
    if (::poll(p, 2, 100) > 0 && (p[1].revents & POLLIN)) DrainWake();
  }
  return done;
}

void Terminal::ReadAvailable(std::string& input) {
  char buf[512];
  for (;;) {
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;
    input.append(buf, std::size_t(n));
  }
}

int Terminal::WaitForInput(Clock::time_point deadline) {
  timespec ts{0, 0}, *timeout = nullptr;
  if (deadline != Clock::time_point::max()) {
    const auto ns = std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count());
    ts = {time_t(ns / 1000000000), long(ns % 1000000000)};
    timeout = &ts;
  }
  pollfd p[2] = {{master, POLLIN, 0}, {wakeRead, POLLIN, 0}};
  const int r = ::ppoll(p, 2, timeout, nullptr);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r > 0 && (p[1].revents & POLLIN)) DrainWake();
  return r > 0 && (p[0].revents & POLLIN) ? 1 : 0;
}

void Terminal::EndServer(std::thread& server, std::atomic<bool>& flag) {
  if (!server.joinable()) return;
  flag = true;
  Wake();
  server.join();
}

std::vector<std::string> TakeCommands(std::string& input) {
  std::vector<std::string> commands;
  std::size_t lf;
  while ((lf = input.find('\n')) != std::string::npos) {
    std::string text = input.substr(0, lf);
    input.erase(0, lf + 1);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (!text.empty() && text.front() == ':') text.erase(0, 1);
    if (!text.empty()) commands.push_back(std::move(text));
  }
  return commands;
}

}  // namespace vyra::sim
