// The serial line on a POSIX tty (a USB-serial adapter or a kernel pseudo-terminal).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/codepage.h"
#include "platform/hot_path.h"
#include "platform/serial_port.h"

// Rates without a B-constant go through termios2 (Linux). Its layout is the kernel's, which
// cannot be included next to <termios.h>; the architectures listed share this one.
#if defined(__linux__) && defined(TCGETS2) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__))
#define VYRA_HAVE_TERMIOS2 1
struct termios2 {  // the name TCGETS2/TCSETS2 expand to
  unsigned int c_iflag, c_oflag, c_cflag, c_lflag;
  unsigned char c_line;
  unsigned char c_cc[19];
  unsigned int c_ispeed, c_ospeed;
};
namespace {
constexpr unsigned int kBOTHER = 0010000;
constexpr unsigned int kCBAUD = 0010017;
}  // namespace
#endif

namespace vyra::plat {

namespace {

using Clock = std::chrono::steady_clock;

constexpr struct {
  int rate;
  speed_t code;
} kStandardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
};

bool StandardRate(int rate, speed_t& code) {
  for (const auto& r : kStandardRates)
    if (r.rate == rate) {
      code = r.code;
      return true;
    }
  return false;
}

bool SetCustomRate(int fd, int rate) {
#ifdef VYRA_HAVE_TERMIOS2
  termios2 t2{};
  if (ioctl(fd, TCGETS2, &t2) != 0) return false;
  t2.c_cflag = (t2.c_cflag & ~kCBAUD) | kBOTHER;
  t2.c_ispeed = t2.c_ospeed = static_cast<unsigned int>(rate);
  return ioctl(fd, TCSETS2, &t2) == 0;
#else
  (void)fd;
  (void)rate;
  return false;
#endif
}

// A pseudo-terminal has no modem lines; refusing the ioctl is not a line failure.
bool ModemLine(int fd, unsigned long request, int bits) {
  if (ioctl(fd, request, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd_(fd) {}
  ~PosixSerialPort() override {
    // The exclusive flag lives on the tty, not the descriptor: leave it reopenable for
    // whoever else holds it open (and for our own next Initialise).
    ioctl(fd_, TIOCNXCL);
    close(fd_);
  }

  bool Configure(int rate, int rtsControl) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK);
    t.c_iflag |= IGNPAR;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;  // reads return at once with what is queued
    t.c_cc[VTIME] = 0;
    speed_t code;
    const bool standard = rate > 0 && StandardRate(rate, code);
    if (standard && cfsetspeed(&t, code) != 0) return false;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
    if (rate > 0 && !standard && !SetCustomRate(fd_, rate)) return false;
    const bool rts = (rtsControl & 3) == 1;
    return ModemLine(fd_, rts ? TIOCMBIS : TIOCMBIC, TIOCM_RTS) && ModemLine(fd_, TIOCMBIC, TIOCM_DTR);
  }

  bool Write(const void* data, size_t length) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(20);
    auto p = static_cast<const char*>(data);
    while (length > 0) {
      ssize_t n = write(fd_, p, length);
      if (n > 0) {
        p += n;
        length -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd pf{fd_, POLLOUT, 0};
      int r = poll(&pf, 1, static_cast<int>(left));
      if (r < 0 && errno != EINTR) return false;
      if (r > 0 && (pf.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
    }
    return true;
  }

  VYRA_PLATFORM_HOT_PATH int IdleWaitMs() const override { return 500; }

  VYRA_PLATFORM_HOT_PATH WaitResult WaitReadable(Event& stop, int timeoutMs) override {
    pollfd p[2] = {{static_cast<int>(stop.Native()), POLLIN, 0}, {fd_, POLLIN, 0}};
    int r = poll(p, 2, timeoutMs);
    if (r < 0) return errno == EINTR ? WaitResult::Timeout : WaitResult::Failed;
    if (r == 0) return WaitResult::Timeout;
    if (p[0].revents & POLLIN) {
      if (stop.Wait(0)) return WaitResult::Stopped;
    }
    if (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitResult::Failed;
    if (p[1].revents & POLLIN) return WaitResult::Readable;
    return WaitResult::Timeout;
  }

  VYRA_PLATFORM_HOT_PATH long ReadQueued(void* buffer, size_t capacity) override {
    for (;;) {
      ssize_t n = read(fd_, buffer, capacity);
      if (n >= 0) return static_cast<long>(n);  // 0: nothing queued (VMIN = VTIME = 0)
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return -1;  // EIO: the far end is gone
    }
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(std::u16string_view path) {
  std::string narrow;
  if (!WideToMultiByte(kCodePageUtf8, path, narrow)) return nullptr;
  int fd = open(narrow.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // TIOCEXCL does not stop a privileged opener, and a second opener would take the first
  // one's bytes: the advisory lock, taken without waiting, refuses every second opener that
  // asks for it (this module's own second device object included). It is checked before
  // anything is changed on the line, so a refused opener leaves the owner's line as it was.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixSerialPort>(fd);
}

void RaiseCurrentThreadPriority() {
#ifdef __linux__
  // Needs CAP_SYS_NICE; refused otherwise, which is fine.
  const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  int now = getpriority(PRIO_PROCESS, tid);
  if (errno == 0) setpriority(PRIO_PROCESS, tid, now - 2);
#endif
}

}  // namespace vyra::plat
