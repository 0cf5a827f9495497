/* Loaded into vexolantd with LD_PRELOAD: every accept on a listening socket
 * fails as on a system out of socket buffers, after the bind and the listen
 * went well. */
#include <errno.h>
#include <sys/socket.h>

int accept(int fd, struct sockaddr* address, socklen_t* length) {
  (void)fd;
  (void)address;
  (void)length;
  errno = ENOBUFS;
  return -1;
}

int accept4(int fd, struct sockaddr* address, socklen_t* length, int flags) {
  (void)flags;
  return accept(fd, address, length);
}
