// The socket layer of the network ports (see net_socket.h).
#include "link/net_socket.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#ifdef _WIN32
#include "link/wait_win32.h"
#else
#include "link/wait_posix.h"
#endif

namespace vexolant {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

#ifdef _WIN32
// Winsock is started once per process, from whichever thread opens the first
// network port; it stays up until the process ends.
int32_t StartSockets() {
  static const int32_t started = [] {
    WSADATA data{};
    return static_cast<int32_t>(WSAStartup(MAKEWORD(2, 2), &data));
  }();
  return started;
}
#else
int32_t StartSockets() {
  return 0;
}
#endif

}  // namespace

#ifdef _WIN32
int32_t SocketError() {
  return WSAGetLastError();
}
bool WouldBlock(int32_t error) {
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
void CloseSocket(Socket s) {
  closesocket(s);
}
void ShutdownSending(Socket s) {
  shutdown(s, SD_SEND);
}
OpenProblem SocketOpenProblem(int32_t error) {
  switch (error) {
    case WSAECONNREFUSED:
      return OpenProblem::Refused;
    case WSAETIMEDOUT:
      return OpenProblem::TimedOut;
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
    case WSAEHOSTDOWN:
    case WSAENETDOWN:
      return OpenProblem::Unreachable;
    default:
      return OpenProblem::Other;
  }
}
#else
int32_t SocketError() {
  return errno;
}
bool WouldBlock(int32_t error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS || error == EINTR;
}
void CloseSocket(Socket s) {
  close(s);
}
void ShutdownSending(Socket s) {
  shutdown(s, SHUT_WR);
}
OpenProblem SocketOpenProblem(int32_t error) {
  switch (error) {
    case ECONNREFUSED:
      return OpenProblem::Refused;
    case ETIMEDOUT:
      return OpenProblem::TimedOut;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
      return OpenProblem::Unreachable;
    default:
      return OpenProblem::Other;
  }
}
#endif

namespace {

#ifdef _WIN32
// What select reports of the socket at once: the events seen (POLLIN,
// POLLOUT, POLLERR), 0 or -1 with *error.
int ReadyNow(Socket s, short events, int32_t* error) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if ((events & POLLIN) != 0) FD_SET(s, &readable);
  if ((events & POLLOUT) != 0) FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval now{0, 0};
  if (select(0, &readable, &writable, &failed, &now) == SOCKET_ERROR) {
    *error = SocketError();
    return -1;
  }
  int revents = 0;
  if (FD_ISSET(s, &readable)) revents |= POLLIN;
  if (FD_ISSET(s, &writable)) revents |= POLLOUT;
  if (FD_ISSET(s, &failed)) revents |= POLLERR;
  return revents;
}
#endif

}  // namespace

int WaitSocket(Socket s, short events, int64_t deadlineNs, int32_t* error) {
#ifdef _WIN32
  // Readiness is asked of select with a zero time-out (select, unlike
  // WSAPoll, reports a connect that failed); the waiting is done on an event
  // object that Winsock signals on the socket's network events, under a
  // time-out of the wait itself. A select that waits depends on the socket
  // layer to end it: under Wine, one asked for the server's close after the
  // client had shut down its sending side sometimes never returned. The event
  // is registered before readiness is asked again, so no event can slip
  // between the question and the wait.
  int revents = ReadyNow(s, events, error);
  if (revents != 0) return revents;
  const WSAEVENT event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT) {
    *error = SocketError();
    return -1;
  }
  long wanted = 0;
  if ((events & POLLIN) != 0) wanted |= FD_READ | FD_CLOSE;
  if ((events & POLLOUT) != 0) wanted |= FD_WRITE | FD_CONNECT;
  if (WSAEventSelect(s, event, wanted) != 0) {
    *error = SocketError();
    revents = -1;
  }
  while (revents == 0) {
    revents = ReadyNow(s, events, error);
    const int64_t left = deadlineNs - SteadyNowNs();
    if (revents != 0 || left <= 0) break;
    if (WSAWaitForMultipleEvents(1, &event, FALSE, WaitMs(left), FALSE) == WSA_WAIT_FAILED) {
      *error = SocketError();
      revents = -1;
    }
    WSANETWORKEVENTS seen;
    WSAEnumNetworkEvents(s, event, &seen);  // resets the event
  }
  WSAEventSelect(s, nullptr, 0);
  WSACloseEvent(event);
  return revents;
#else
  const int revents = WaitForDescriptor(s, events, deadlineNs);
  if (revents < 0) *error = errno;
  return revents;
#endif
}

namespace {

bool MakeNonBlocking(Socket s) {
#ifdef _WIN32
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
#else
  const int flags = fcntl(s, F_GETFL);
  return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

void SetOption(Socket s, int level, int name) {
  const int on = 1;
  setsockopt(s, level, name, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace

int32_t SendAll(Socket s, const uint8_t* bytes, uint32_t count, int64_t deadlineNs) {
  uint32_t sent = 0;
  while (sent < count) {
    const auto n = send(s, reinterpret_cast<const char*>(bytes + sent),
                        static_cast<int>(count - sent), kSendFlags);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    const int32_t error = SocketError();
    if (n < 0 && !WouldBlock(error)) return error;
    int32_t waitError = 0;
    const int revents = WaitSocket(s, POLLOUT, deadlineNs, &waitError);
    if (revents < 0) return waitError;
    if (revents == 0) return kTimedOut;
  }
  return 0;
}

namespace {

// --- Name resolution with a bound ------------------------------------------
// getaddrinfo has no time-out of its own. A numeric host is converted at once,
// without asking any resolver. A name is resolved on a thread of its own,
// which the open waits for until the connect deadline; when the deadline
// passes first, the open fails and the thread, left to itself, frees its
// result whenever the resolver answers.
struct Lookup {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;
  int rc = 0;
  addrinfo* result = nullptr;
  std::string host;
  std::string service;
};

addrinfo Hints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags;
  return hints;
}

void RunLookup(const std::shared_ptr<Lookup>& lookup) {
  const addrinfo hints = Hints(AI_NUMERICSERV | AI_ADDRCONFIG);
  addrinfo* result = nullptr;
  const int rc = getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &hints, &result);
  const std::lock_guard<std::mutex> guard(lookup->lock);
  if (lookup->abandoned) {
    if (rc == 0) freeaddrinfo(result);
    return;
  }
  lookup->rc = rc;
  lookup->result = result;
  lookup->finished = true;
  lookup->done.notify_all();
}

// 0 with *result set, or the OS error with *problem set when it alone does
// not tell the reason.
int32_t Resolve(const std::string& host, const std::string& service, int64_t deadlineNs,
                addrinfo** result, OpenProblem* problem) {
  const addrinfo numeric = Hints(AI_NUMERICHOST | AI_NUMERICSERV);
  if (getaddrinfo(host.c_str(), service.c_str(), &numeric, result) == 0) return 0;
  std::shared_ptr<Lookup> lookup(new (std::nothrow) Lookup);
  if (lookup == nullptr) return kNoMemory;
  lookup->host = host;
  lookup->service = service;
  try {
    std::thread(RunLookup, lookup).detach();
  } catch (...) {
    return kNoMemory;
  }
  std::unique_lock<std::mutex> guard(lookup->lock);
  const auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadlineNs));
  if (!lookup->done.wait_until(guard, deadline, [&] { return lookup->finished; })) {
    lookup->abandoned = true;
    return kTimedOut;
  }
  if (lookup->rc != 0) {
    *problem = OpenProblem::UnknownHost;
    return kUnknownHost;
  }
  *result = lookup->result;
  return 0;
}

// --- Connect -------------------------------------------------------------------

// Connects to one address before the deadline; 0 with *out set, or the OS
// error.
int32_t ConnectOne(const addrinfo* address, int64_t deadlineNs, Socket* out) {
#ifdef SOCK_CLOEXEC
  const Socket s =
      socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
#else
  const Socket s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
#endif
  if (s == kNoSocket) return SocketError();
  int32_t error = 0;
  if (!MakeNonBlocking(s)) error = SocketError();
  if (error == 0 && connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
    error = SocketError();
    if (WouldBlock(error)) {
      const int revents = WaitSocket(s, POLLOUT, deadlineNs, &error);
      if (revents == 0) {
        error = kTimedOut;
      } else if (revents > 0) {
        int soError = 0;
        socklen_t length = sizeof soError;
        error = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) == 0
                    ? soError
                    : SocketError();
      }
    }
  }
  if (error != 0) {
    CloseSocket(s);
    return error;
  }
  SetOption(s, IPPROTO_TCP, TCP_NODELAY);
  SetOption(s, SOL_SOCKET, SO_KEEPALIVE);
#ifdef SO_NOSIGPIPE
  SetOption(s, SOL_SOCKET, SO_NOSIGPIPE);
#endif
  *out = s;
  return 0;
}

}  // namespace

int32_t Connect(const std::string& host, const std::string& service, int64_t deadlineNs,
                Socket* out, OpenProblem* problem) {
  if (const int32_t started = StartSockets(); started != 0) return started;
  addrinfo* addresses = nullptr;
  int32_t error = Resolve(host, service, deadlineNs, &addresses, problem);
  if (error != 0) return error;
  *problem = OpenProblem::UnknownHost;  // until an address is tried
  error = kUnknownHost;
  for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
    error = ConnectOne(a, deadlineNs, out);
    *problem = OpenProblem::None;
    if (error == 0 || SteadyNowNs() >= deadlineNs) break;
  }
  freeaddrinfo(addresses);
  return error;
}

}  // namespace vexolant
