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
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "link/port.h"
#include "link/wait_posix.h"

namespace vexolant {

namespace {

// A write is allowed 2 ms per byte to enter the driver, plus the read gap.
constexpr int64_t kWritePerByteNs = 2000000;
constexpr int64_t kWriteSlackNs = int64_t{kInterByteGapMs} * 1000000;
// The longest single wait; longer waits are made of several.
constexpr int64_t kLongestWaitNs = int64_t{3600} * 1000000000;

int Fd(const Port* port) {
  return static_cast<int>(port->handle);
}

int32_t Fail(Port* port, int32_t error) {
  port->lastError = error;
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

// Only unread input is dropped: what was written (the ACK that ends an
// upload, say) may still be on its way through the driver, and the printer
// counts on it. Each write has already waited for its bytes to leave.
void PosixClose(Port* port) {
  if (Fd(port) < 0) return;
  tcflush(Fd(port), TCIFLUSH);
  close(Fd(port));
  port->handle = -1;
}

int PosixOpen(Port* port, const char* name, int32_t* error, bool* busy) {
  PosixClose(port);
  *busy = false;
  const std::string path = PortDevicePath(name);
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = Fail(port, errno);
    return 0;
  }
  const int32_t failure = Prepare(fd);
  if (failure != 0) {
    // Only the descriptor is dropped: when another process holds the port,
    // its queues and settings must stay as they are.
    close(fd);
    *busy = failure == EBUSY;
    *error = Fail(port, failure);
    return 0;
  }
  port->handle = fd;
  SetModemLines(fd);
  *error = 0;
  return 1;
}

int PosixPurge(Port* port) {
  if (Fd(port) >= 0 && tcflush(Fd(port), TCIOFLUSH) == 0) return 1;
  Fail(port, Fd(port) < 0 ? EBADF : errno);
  return 0;
}

// The bytes in the driver's output queue. A device that cannot tell (no
// TIOCOUTQ) counts as empty: tcdrain then waits for it.
int32_t OutputQueued(void* context, uint32_t* bytes) {
  int queued = 0;
  *bytes = 0;
  if (ioctl(*static_cast<const int*>(context), TIOCOUTQ, &queued) != 0) {
    return errno == ENOTTY || errno == EINVAL ? 0 : errno;
  }
  *bytes = queued > 0 ? static_cast<uint32_t>(queued) : 0;
  return 0;
}

int64_t SteadyNs(void*) {
  return SteadyNowNs();
}

void SleepNs(void*, int64_t ns) {
  timespec left{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Waits, up to deadlineNs, until the written bytes have left the driver's
// queue, then for the device's own FIFO (tcdrain, now a matter of a few
// bytes). 0, ETIMEDOUT or the OS error.
int32_t DrainOutput(int fd, int64_t deadlineNs) {
  int descriptor = fd;
  const OutputQueue queue{OutputQueued, SteadyNs, SleepNs, &descriptor};
  int32_t error = 0;
  switch (WaitForOutput(queue, deadlineNs, &error)) {
    case Drain::TimedOut:
      return ETIMEDOUT;
    case Drain::Failed:
      return error;
    case Drain::Empty:
      break;
  }
  while (tcdrain(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void PosixWrite(Port* port, const uint8_t* bytes, uint32_t count, int32_t* error) {
  *error = 0;
  const int fd = Fd(port);
  if (fd < 0) {
    *error = Fail(port, EBADF);
    return;
  }
  const int64_t start = SteadyNowNs();
  const int64_t deadline = start + kWritePerByteNs * count + kWriteSlackNs;
  uint32_t sent = 0;
  while (sent < count) {
    const ssize_t n = write(fd, bytes + sent, count - sent);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = Fail(port, errno);
      return;
    }
    const int revents = WaitForDescriptor(fd, POLLOUT, deadline);
    if (revents < 0) {
      *error = Fail(port, errno);
      return;
    }
    if (revents == 0) {
      *error = Fail(port, ETIMEDOUT);
      return;
    }
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (revents & POLLOUT) == 0) {
      *error = Fail(port, EIO);
      return;
    }
  }
  // The bytes are the driver's now; they must leave within their time on the
  // line at 9600 baud and a margin, or the port counts as failed.
  const int32_t drained = DrainOutput(fd, start + kLineByteNs * count + kDrainSlackNs);
  if (drained != 0) *error = Fail(port, drained);
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

uint32_t PosixReadSome(Port* port, uint8_t* buffer, uint32_t max, int64_t deadlineNs,
                       int32_t* error) {
  const int fd = Fd(port);
  for (;;) {
    const int revents = WaitForDescriptor(fd, POLLIN, deadlineNs);
    if (revents == 0) return 0;
    if (revents < 0) {
      *error = errno;
      return 0;
    }
    const ssize_t n = read(fd, buffer, max);
    if (n > 0) return static_cast<uint32_t>(n);
    const int32_t failure = EmptyReadError(n, errno, revents);
    if (failure != 0) {
      *error = failure;
      return 0;
    }
  }
}

uint32_t PosixRead(Port* port, const ReadCall& call, int32_t* error) {
  if (Fd(port) < 0) {
    *error = Fail(port, EBADF);
    return 0;
  }
  return TimedRead(port, call, PosixReadSome, error);
}

void PosixPause(Port*, uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint64_t PosixNow(Port*) {
  return static_cast<uint64_t>(SteadyNowNs() / 1000000);
}

constexpr PortBackend kPosixPort = {PosixOpen, PosixClose, PosixPurge, PosixWrite,
                                    PosixRead, PosixPause, PosixNow,   nullptr};

}  // namespace

int WaitForDescriptor(int fd, short events, int64_t deadlineNs) {
  for (;;) {
    const int64_t left = deadlineNs - SteadyNowNs();
    if (left <= 0) return 0;
    const int64_t wait = std::min(left - left / 1001, kLongestWaitNs);
    pollfd p{fd, events, 0};
#ifdef __linux__
    const timespec span{static_cast<time_t>(wait / 1000000000),
                        static_cast<long>(wait % 1000000000)};
    const int rc = ppoll(&p, 1, &span, nullptr);
#else
    const int rc = poll(&p, 1, static_cast<int>((wait + 999999) / 1000000));
#endif
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if (rc == 0) continue;  // the loop re-reads the clock
    return p.revents;
  }
}

const PortBackend* PlatformPort() {
  return &kPosixPort;
}

OpenProblem LocalOpenProblem(int32_t error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return OpenProblem::NoDevice;
    case EACCES:
    case EPERM:
      return OpenProblem::Permission;
    case EBUSY:
      return OpenProblem::Busy;
    default:
      return OpenProblem::Other;
  }
}

std::string PortDevicePath(const char* name) {
  if (std::strchr(name, '/') != nullptr) return name;
  return std::string("/dev/") + name;
}

}  // namespace vexolant
