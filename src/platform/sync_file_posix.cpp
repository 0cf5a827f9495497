#include <unistd.h>

#include <cerrno>

#include "platform/sync_file.h"

namespace vexolant {

int SyncFile(FILE* file) {
  const int fd = fileno(file);
  for (;;) {
#ifdef __linux__
    // The data and the file size: the report's lines, not its times.
    const int rc = fdatasync(fd);
#else
    const int rc = fsync(fd);
#endif
    if (rc == 0) return 0;
    // Devices and pipes (a report sent to a terminal) cannot be synced and
    // need not be.
    if (errno == EINVAL || errno == EROFS || errno == ENOTSUP) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace vexolant
