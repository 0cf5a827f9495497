// Serial port backend for POSIX systems (Linux, macOS): termios in raw mode,
// exclusive open, and reads timed with poll against a monotonic clock.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "link/port.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Gap after the last received byte that ends a read, and the time allowed per
// requested byte; a write is allowed 2 ms per byte to enter the driver.
constexpr milliseconds kInterByteGap{50};
constexpr milliseconds kReadPerByte{1000};
constexpr milliseconds kWritePerByte{2};
// The longest single poll; longer waits are made of several.
constexpr int64_t kLongestPollMs = 60 * 60 * 1000;

struct PortState {
  int fd = -1;
  int32_t lastError = 0;
};

PortState g_port;

int32_t Fail(int32_t error) {
  g_port.lastError = error;
  return error;
}

// Raw 9600 baud, 8 data bits, even parity, 1 stop bit, no flow control, the
// modem lines ignored; reads never block in the driver (timing is ours).
termios LineSettings(const termios& current) {
  termios t = current;
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CS8 | PARENB | CREAD | CLOCAL;
  for (cc_t& c : t.c_cc) c = 0;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return t;
}

// A pseudo-terminal cannot hold parity, so the parity bits are left out of
// the comparison; every other setting must be in place.
bool SettingsInPlace(const termios& want, const termios& have) {
  constexpr tcflag_t kParityBits = PARENB | PARODD;
  constexpr tcflag_t kCflagMask = CSIZE | CSTOPB | CREAD | CLOCAL | CRTSCTS | kParityBits;
  return have.c_iflag == want.c_iflag && have.c_oflag == want.c_oflag &&
         have.c_lflag == want.c_lflag &&
         (have.c_cflag & kCflagMask & ~kParityBits) == (want.c_cflag & kCflagMask & ~kParityBits) &&
         have.c_cc[VMIN] == want.c_cc[VMIN] && have.c_cc[VTIME] == want.c_cc[VTIME] &&
         cfgetispeed(&have) == B9600 && cfgetospeed(&have) == B9600;
}

int32_t Configure(int fd) {
  termios current{};
  if (tcgetattr(fd, &current) != 0) return errno;
  const termios want = LineSettings(current);
  if (tcsetattr(fd, TCSANOW, &want) != 0 && errno != EINVAL) return errno;
  termios have{};
  if (tcgetattr(fd, &have) != 0) return errno;
  return SettingsInPlace(want, have) ? 0 : EINVAL;
}

// Exclusive use: a lock on the device that keeps out every other process
// that asks for it, root included, and that the system drops when the holder
// ends in any way. TIOCEXCL is not used: on a pseudo-terminal it stays on the
// line after a run that ends without closing the port, and then keeps every
// later run of a normal user out until the other end is reopened.
int32_t TakeLock(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  return errno == EWOULDBLOCK ? EBUSY : errno;
}

// Locks, configures and purges a freshly opened device; 0 or the OS error.
int32_t Prepare(int fd) {
  int32_t failure = TakeLock(fd);
  if (failure == 0) failure = Configure(fd);
  if (failure == 0 && tcflush(fd, TCIOFLUSH) != 0) failure = errno;
  return failure;
}

// DTR up, RTS down; a pseudo-terminal has no modem lines, so failures here
// are ignored.
void SetModemLines(int fd) {
  const int dtr = TIOCM_DTR;
  const int rts = TIOCM_RTS;
  ioctl(fd, TIOCMBIS, &dtr);
  ioctl(fd, TIOCMBIC, &rts);
}

void CloseFd() {
  if (g_port.fd < 0) return;
  tcflush(g_port.fd, TCIOFLUSH);
  close(g_port.fd);
  g_port.fd = -1;
}

int PosixOpen(const char* name, int32_t* error) {
  CloseFd();
  const std::string path = PortDevicePath(name);
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = Fail(errno);
    return 0;
  }
  const int32_t failure = Prepare(fd);
  if (failure != 0) {
    // Only the descriptor is dropped: when another process holds the port,
    // its queues and settings must stay as they are.
    close(fd);
    *error = Fail(failure);
    return 0;
  }
  g_port.fd = fd;
  SetModemLines(fd);
  *error = 0;
  return 1;
}

void PosixClose() {
  CloseFd();
}

int PosixPurge() {
  if (g_port.fd >= 0 && tcflush(g_port.fd, TCIOFLUSH) == 0) return 1;
  Fail(g_port.fd < 0 ? EBADF : errno);
  return 0;
}

int32_t PosixLastError() {
  return g_port.lastError;
}

// Waits until the descriptor is ready for events or the deadline passes.
// Returns the revents (0 on time-out) or -1 with errno set.
int WaitFor(short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Round up so that the wait never ends before the deadline.
    const int64_t ms =
        std::min<int64_t>(std::chrono::ceil<milliseconds>(left).count(), kLongestPollMs);
    pollfd p{g_port.fd, events, 0};
    const int rc = poll(&p, 1, static_cast<int>(ms));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if (rc == 0) continue;  // the loop re-reads the clock
    return p.revents;
  }
}

void PosixWrite(const uint8_t* bytes, uint32_t count, int32_t* error) {
  *error = 0;
  if (g_port.fd < 0) {
    *error = Fail(EBADF);
    return;
  }
  const auto deadline = Clock::now() + kWritePerByte * count + kInterByteGap;
  uint32_t sent = 0;
  while (sent < count) {
    const ssize_t n = write(g_port.fd, bytes + sent, count - sent);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = Fail(errno);
      return;
    }
    const int revents = WaitFor(POLLOUT, deadline);
    if (revents < 0) {
      *error = Fail(errno);
      return;
    }
    if (revents == 0) {
      *error = Fail(ETIMEDOUT);
      return;
    }
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (revents & POLLOUT) == 0) {
      *error = Fail(EIO);
      return;
    }
  }
  while (tcdrain(g_port.fd) != 0) {
    if (errno != EINTR) {
      *error = Fail(errno);
      return;
    }
  }
}

// The verdict on a read that brought no bytes although poll reported the
// descriptor ready: the OS error, or 0 when waiting again is right. A line
// that is gone (hang-up, error, end of file) is an error at once, so that the
// read never spins on a descriptor that stays ready.
int32_t EmptyReadError(ssize_t n, int readError, int revents) {
  if (n == 0) return EIO;  // end of file: the line was hung up
  if (readError != EINTR && readError != EAGAIN && readError != EWOULDBLOCK) return readError;
  if ((revents & POLLNVAL) != 0) return EBADF;
  if ((revents & (POLLERR | POLLHUP)) != 0) return EIO;
  return 0;
}

uint32_t PosixRead(uint8_t* buffer, uint32_t max, int32_t* error) {
  *error = 0;
  if (g_port.fd < 0) {
    *error = Fail(EBADF);
    return 0;
  }
  const auto end = Clock::now() + kReadPerByte * max;
  auto deadline = end;  // until the first byte; then 50 ms after the latest
  uint32_t got = 0;
  while (got < max) {
    const int revents = WaitFor(POLLIN, deadline);
    if (revents == 0) break;
    if (revents < 0) {
      *error = Fail(errno);
      return got;
    }
    const ssize_t n = read(g_port.fd, buffer + got, max - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      deadline = std::min(end, Clock::now() + kInterByteGap);
      continue;
    }
    const int32_t failure = EmptyReadError(n, errno, revents);
    if (failure != 0) {
      *error = Fail(failure);
      return got;
    }
  }
  return got;
}

void PosixPause(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

constexpr PortBackend kPosixPort = {PosixOpen,  PosixClose, PosixPurge, PosixLastError,
                                    PosixWrite, PosixRead,  PosixPause};

}  // namespace

const PortBackend* PlatformPort() {
  return &kPosixPort;
}

std::string PortDevicePath(const char* name) {
  if (std::strchr(name, '/') != nullptr) return name;
  return std::string("/dev/") + name;
}

std::string OsErrorText(int32_t error) {
  return std::strerror(error);
}

const char* PortOpenHint(int32_t error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "join the group that owns the device, such as dialout or uucp, then log in again";
    case EBUSY:
      return "another program holds the port";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "no such device; check the name in Puerto.dat, such as ttyUSB0 or ttyS0";
    default:
      return "";
  }
}
