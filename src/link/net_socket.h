// The socket layer of the network ports: the calls that differ between POSIX
// sockets and Winsock set apart, name resolution and connect under one
// bound, and sending and waiting under deadlines of the steady clock
// (SteadyNowNs). The network backend (port_net.cpp) builds the tcp:// and
// rfc2217:// ports on it.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
// After the sockets' header, which must come first.
#include <windows.h>
#else
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include <cstdint>
#include <string>

#include "link/port.h"

namespace vexolant {

// The OS errors the layer and the backend deliver. The reasons an open fails
// for that have no OS error of their own (the server's busy close, its
// refusals, a name that does not resolve) are told by the port's
// openProblem; kBusy, kRefusedOption, kOtherLine and kUnknownHost are only
// the near OS error numbers an open delivers with them.
#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
constexpr int32_t kTimedOut = WSAETIMEDOUT;
constexpr int32_t kClosed = WSAECONNRESET;
constexpr int32_t kAborted = WSAECONNABORTED;
constexpr int32_t kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
constexpr int32_t kBusy = ERROR_SHARING_VIOLATION;
constexpr int32_t kRefusedOption = WSAEPROTONOSUPPORT;
constexpr int32_t kOtherLine = ERROR_BAD_NET_RESP;
constexpr int32_t kUnknownHost = WSAHOST_NOT_FOUND;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
constexpr int32_t kTimedOut = ETIMEDOUT;
constexpr int32_t kClosed = ECONNRESET;
constexpr int32_t kAborted = EPIPE;
constexpr int32_t kNoMemory = ENOMEM;
constexpr int32_t kBusy = EBUSY;
constexpr int32_t kRefusedOption = EPROTONOSUPPORT;
constexpr int32_t kOtherLine = EPROTO;
constexpr int32_t kUnknownHost = EHOSTUNREACH;
#endif

// The OS error of the last socket call that failed on this thread.
int32_t SocketError();
// True for the errors of a non-blocking call that has to wait.
bool WouldBlock(int32_t error);
void CloseSocket(Socket s);
// Ends the sending side: the server sees the end after all that was sent.
void ShutdownSending(Socket s);
// The reason behind a connect's OS error: refused, timed out, unreachable
// or other.
OpenProblem SocketOpenProblem(int32_t error);

// Waits until the socket is ready for events or the deadline passes: the
// events seen (POLLIN, POLLOUT, POLLERR, POLLHUP), 0 on time-out, -1 with
// *error on failure.
int WaitSocket(Socket s, short events, int64_t deadlineNs, int32_t* error);
// Sends all bytes before the deadline; 0 or the OS error.
int32_t SendAll(Socket s, const uint8_t* bytes, uint32_t count, int64_t deadlineNs);
// Resolves host and connects to its addresses in turn, all before the
// deadline: 0 with *out a non-blocking socket (no Nagle delay, keep-alive),
// or the OS error, with *problem set when the error alone does not tell the
// reason (a name that does not resolve).
int32_t Connect(const std::string& host, const std::string& service, int64_t deadlineNs,
                Socket* out, OpenProblem* problem);

}  // namespace vexolant
