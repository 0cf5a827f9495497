#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "api/console.h"
#include "app/port_hint.h"

namespace vexolant {

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

const char* NetworkPortOpenHint(int32_t error) {
  switch (error) {
    case EBUSY:
      return "the server serves another client";
    case EPROTONOSUPPORT:
      return "the server does not take the COM-PORT-OPTION of RFC 2217; use tcp:// or a "
             "telnet(rfc2217) accepter";
    case EPROTO:
      return "the server answered other line settings than 9600 baud, 8 data bits, even parity, "
             "1 stop bit, no flow control";
    case ETIMEDOUT:
      return "the server did not answer in time; check the host, the port and any firewall";
    case EHOSTUNREACH:
      return "the host cannot be found or reached";
    default:
      return "";
  }
}

// On Linux the holder of a device's lock is listed in /proc/locks, as
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF" with the device number and
// inode of the locked file.
std::string PortHolder(const char* name) {
#ifndef __linux__
  (void)name;
  return "";
#else
  struct stat device {};
  if (stat(DeviceOfPortName(name).c_str(), &device) != 0) return "";
  FILE* locks = std::fopen("/proc/locks", "r");
  if (locks == nullptr) return "";
  char line[256];
  std::string holder;
  while (holder.empty() && std::fgets(line, sizeof line, locks) != nullptr) {
    char kind[16] = {};
    long pid = 0;
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%llu", kind, &pid, &major, &minor, &inode) ==
            5 &&
        std::strcmp(kind, "FLOCK") == 0 && inode == device.st_ino &&
        makedev(major, minor) == device.st_dev) {
      holder = "process " + std::to_string(pid);
    }
  }
  std::fclose(locks);
  return holder;
#endif
}

}  // namespace vexolant
