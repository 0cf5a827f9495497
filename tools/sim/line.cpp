#include "sim/line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vexolant::sim {

namespace {

constexpr int kWriteRoomWaitMs = 1000;

// Raw bytes both ways: no echo, no line editing, no character translation.
bool MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool Failed(Line* line, std::string* error, const char* what) {
  *error = std::string(what) + ": " + std::strerror(errno);
  CloseLine(*line);
  return false;
}

}  // namespace

bool OpenLine(Line* line, std::string* error) {
  line->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (line->master < 0) return Failed(line, error, "posix_openpt");
  if (grantpt(line->master) != 0 || unlockpt(line->master) != 0) {
    return Failed(line, error, "grantpt/unlockpt");
  }
  const char* name = ptsname(line->master);
  if (name == nullptr) return Failed(line, error, "ptsname");
  line->path = name;
  line->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line->slave < 0) return Failed(line, error, name);
  if (!MakeRaw(line->slave)) return Failed(line, error, "raw mode");
  MakeRaw(line->master);  // not every system lets the master be set; the slave counts
  if (fcntl(line->master, F_SETFD, FD_CLOEXEC) != 0 ||
      fcntl(line->master, F_SETFL, O_NONBLOCK) != 0) {
    return Failed(line, error, "fcntl");
  }
  return true;
}

void ReleaseSlave(Line& line) {
  CloseFd(line.slave);
}

void CloseLine(Line& line) {
  CloseFd(line.slave);
  CloseFd(line.master);
}

void LiftExclusive(const Line& line) {
#ifdef TIOCNXCL
  if (line.slave >= 0) ioctl(line.slave, TIOCNXCL);
#else
  (void)line;
#endif
}

bool WriteAll(const Line& line, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = write(line.master, bytes, count);
    if (n > 0) {
      bytes += n;
      count -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{line.master, POLLOUT, 0};
    if (poll(&p, 1, kWriteRoomWaitMs) <= 0 || (p.revents & POLLOUT) == 0) return false;
  }
  return true;
}

void LogLine(const Log& log, const char* kind, const std::string& text) {
  const long long us = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - log.start)
                           .count();
  std::fprintf(log.file, "%7lld.%03lld %s %s\n", us / 1000, us % 1000, kind, text.c_str());
  std::fflush(log.file);
}

}  // namespace vexolant::sim
