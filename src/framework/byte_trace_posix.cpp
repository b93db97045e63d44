// The trace file on POSIX: VYRA_TRACE's path opened non-blocking, so a FIFO or a terminal
// that does not take the bytes now leaves them waiting in the trace instead of stalling.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "framework/byte_trace.h"

namespace vyra {

namespace {

class PosixTraceFile final : public TraceFile {
 public:
  PosixTraceFile(int fd, bool pipe) : fd_(fd), pipe_(pipe) {}
  ~PosixTraceFile() override { ::close(fd_); }

  long WriteSome(const char* data, size_t size) noexcept override {
    // A pipe whose reader has gone would end the host with SIGPIPE; held back for this write
    // and taken if it came, so only the trace ends.
    sigset_t pipeSignal, before;
    if (pipe_) {
      sigemptyset(&pipeSignal);
      sigaddset(&pipeSignal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    }
    const ssize_t n = ::write(fd_, data, size);
    const int error = errno;
    if (pipe_) {
      if (n < 0 && error == EPIPE) {
        const timespec none{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &none);
      }
      pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    if (n >= 0) return static_cast<long>(n);
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR ? 0 : -1;
  }

 private:
  int fd_;
  bool pipe_;
};

}  // namespace

std::unique_ptr<TraceFile> OpenTraceFileFromEnvironment() noexcept {
  try {
    const char* path = std::getenv("VYRA_TRACE");
    if (!path || !*path) return nullptr;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) return nullptr;
    struct stat st {};
    const bool pipe = ::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    return std::make_unique<PosixTraceFile>(fd, pipe);
  } catch (...) {
    return nullptr;
  }
}

std::string TracedProcess() {
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string program = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string("a program");
  return program + " (process " + std::to_string(::getpid()) + ")";
}

}  // namespace vyra
