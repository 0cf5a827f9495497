#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <cstdio>
#include <cstring>

#include "api/console.h"
#include "app/port_holder.h"

namespace vexolant {

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
