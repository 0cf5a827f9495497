// A TCP socket bound to a port of its own on 127.0.0.1, chosen by the system,
// for the tests' servers and for port numbers on which nothing listens.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

// Binds fd to a free port on 127.0.0.1; the port's number, or 0 on failure.
inline int BindToFreeLoopbackPort(int fd) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}
