// POSIX log sink: the environment variable VYRA_LOG names a file that each entry is appended
// to as one UTF-8 line, or "-" for standard error; nothing is written when it is unset.
// The variable is read for every entry, so a host or a test can redirect the log while
// running (it must not change the environment concurrently, as with any getenv).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/log.h"
#include "framework/log_internal.h"
#include "platform/codepage.h"

namespace vyra {

// Writes what the descriptor takes now; a full pipe or a FIFO without reader drops the rest
// rather than stalling the caller (often the device's reader thread).
void WriteWithoutStalling(int fd, std::string_view line) noexcept {
  size_t done = 0;
  for (int attempt = 0; attempt < 4 && done < line.size(); ++attempt) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLOUT)) return;
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

void WriteLogEntry(const char16_t* text) noexcept {
  try {
    if (!text) return;
    std::lock_guard<std::recursive_mutex> lock(LogLock());
    const char* where = std::getenv("VYRA_LOG");
    if (!where || !*where) return;
    std::string line;
    plat::WideToMultiByte(plat::kCodePageUtf8, std::u16string_view(text), line);
    line += '\n';
    if (std::strcmp(where, "-") == 0) {
      WriteWithoutStalling(STDERR_FILENO, line);
      return;
    }
    int fd = ::open(where, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) return;
    WriteWithoutStalling(fd, line);
    ::close(fd);
  } catch (...) {
  }
}

uint32_t LogClock() noexcept {
  using namespace std::chrono;
  static const steady_clock::time_point start = steady_clock::now();
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

}  // namespace vyra
