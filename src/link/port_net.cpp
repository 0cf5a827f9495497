// Network serial ports: tcp://HOST:PORT, the printer's bytes over a raw TCP
// connection, and rfc2217://HOST:PORT, Telnet with the COM-PORT-OPTION of
// RFC 2217, where the client sets the line itself. The sockets, the same on
// POSIX and on Winsock, are the socket layer's (net_socket.h); this is the
// backend: the name, the negotiation, the busy server, purge, write and read.
//
// Every wait has a bound on the steady clock: name resolution and connect
// share the port's connectTimeoutMs, each step of the Telnet negotiation and
// each purge confirmation has negotiationTimeoutMs, and reads run through
// the shared TimedRead loop exactly as on a local port.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "link/net_socket.h"
#include "link/port.h"
#include "link/telnet.h"
#include "platform/os_error.h"
#include "trace/trace.h"

namespace vexolant {

namespace {

constexpr int64_t kMsNs = 1000000;
// A write is allowed 2 ms per byte to leave, plus the read gap, as on a
// local port.
constexpr int64_t kWritePerByteNs = 2 * kMsNs;
constexpr int64_t kWriteSlackNs = int64_t{kInterByteGapMs} * kMsNs;

// When a write of count bytes that starts at startNs must have left.
int64_t WriteDeadline(int64_t startNs, uint32_t count) {
  return startNs + kWritePerByteNs * count + kWriteSlackNs;
}
// What a tcp:// port keeps of what it wrote before the server first served
// it, to send again over a new connection when it was turned away (one
// request frame; a caller that writes more than this gives up the retry).
constexpr size_t kUnservedBytes = 16 * 1024;
// A close without a text counts as a busy server's only this soon after the
// connect, plus twice the time the connect took (for slower networks): a
// later one is a connection that failed.
constexpr int64_t kBareCloseNs = 50 * kMsNs;
// How long a close waits for the server to close its end.
constexpr int64_t kCloseWaitNs = 500 * kMsNs;
// How long after a write that had no answer a close waits for the server to
// pass it on (see AwaitLastWrite).
constexpr int64_t kUnansweredWriteNs = int64_t{kInterByteGapMs} * kMsNs;

enum class Scheme { Tcp, Rfc2217 };

struct NetName {
  Scheme scheme = Scheme::Tcp;
  std::string host;
  std::string service;
};

constexpr std::string_view kTcpPrefix = "tcp://";
constexpr std::string_view kRfc2217Prefix = "rfc2217://";

bool IsHostNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

bool IsAddress6Byte(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
         c == '.' || c == '%' || IsHostNameByte(c);
}

// Splits a network port name; nullptr when it is well formed, else why not.
const char* ParseName(std::string_view name, NetName* out) {
  std::string_view rest;
  if (name.starts_with(kTcpPrefix)) {
    out->scheme = Scheme::Tcp;
    rest = name.substr(kTcpPrefix.size());
  } else if (name.starts_with(kRfc2217Prefix)) {
    out->scheme = Scheme::Rfc2217;
    rest = name.substr(kRfc2217Prefix.size());
  } else {
    return "the name is not a network port";
  }
  std::string_view host;
  if (rest.starts_with('[')) {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return "the IPv6 address has no closing bracket";
    host = rest.substr(1, close - 1);
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsAddress6Byte)) {
      return "the IPv6 address holds a byte that no address has";
    }
    rest = rest.substr(close + 1);
    if (!rest.starts_with(':')) return "the network name has no port number (HOST:PORT)";
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return "the network name has no port number (HOST:PORT)";
    host = rest.substr(0, colon);
    rest = rest.substr(colon);
    if (host.find(':') != std::string_view::npos) return "an IPv6 address needs brackets: [ADDR]";
    if (host.empty()) return "the network name has no host";
    if (!std::all_of(host.begin(), host.end(), IsHostNameByte)) {
      return "the host name holds a byte that no host name has";
    }
  }
  const std::string_view digits = rest.substr(1);
  if (digits.empty()) return "the network name has no port number (HOST:PORT)";
  uint32_t number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return "the port number is not a number";
    number = number * 10 + static_cast<uint32_t>(c - '0');
    if (number > 65535) break;
  }
  if (number == 0 || number > 65535) return "the port number is out of range (1 to 65535)";
  out->host.assign(host);
  out->service = std::to_string(number);
  return nullptr;
}

// What the backend keeps of an open network port.
struct NetState {
  Socket socket = kNoSocket;
  bool telnet = false;
  TelnetDecoder decoder;
  TelnetOptions options;
  uint32_t settingsAnswered = 0;  // bits: rows of kLineSettings answered
  const char* settingWrong = nullptr;
  bool purgeConfirmed = false;
  bool purgeUnconfirmed = false;  // the server left a purge unconfirmed once
  int32_t answerError = 0;        // a failed send of a negotiation answer
  // tcp:// (see ConnectAgain): whether the server has shown that it serves
  // this client, whether its first bytes were a text, what was written
  // meanwhile, when the connection was made and how long that took, and when
  // the first turn-away came.
  bool served = false;
  bool texted = false;
  std::string unserved;
  int64_t connectedNs = 0;
  int64_t connectTookNs = 0;
  int64_t turnedAwayNs = 0;
  std::string host;
  std::string service;
  // The last write has had no data in answer yet, so the server may still
  // hold it; since lastWriteNs.
  bool writeUnanswered = false;
  int64_t lastWriteNs = 0;
  uint32_t lastWriteCount = 0;
  bool baudAnswered = false;  // a SET-BAUDRATE answer came
};

NetState* State(const Port* port) {
  return static_cast<NetState*>(port->state);
}

int32_t Fail(Port* port, int32_t error) {
  port->lastError = error;
  return error;
}

int64_t MsNs(uint32_t ms) {
  return int64_t{ms} * kMsNs;
}

// --- Telnet ----------------------------------------------------------------------

// What the server's commands do to the port's state; negotiations are
// answered at once.
void OnCommand(void* context, const TelnetCommand& command) {
  NetState* state = static_cast<NetState*>(context);
  if (command.verb == kTelnetSb) {
    if (command.option != kOptionComPort || command.length < 2) return;
    const uint8_t code = command.bytes[1];
    const uint8_t* value = command.bytes + 2;
    const uint32_t length = command.length - 2;
    if (code == kComPortPurgeData + kComPortServer) state->purgeConfirmed = true;
    if (code == kComPortSetBaudRate + kComPortServer) state->baudAnswered = true;
    for (uint32_t i = 0; i < kLineSettingCount; ++i) {
      const ComPortSetting& s = kLineSettings[i];
      if (code != s.command + kComPortServer) continue;
      state->settingsAnswered |= 1u << i;
      if (length != s.length || std::memcmp(value, s.value, s.length) != 0) {
        state->settingWrong = s.what;
      }
    }
    return;  // NOTIFY-LINESTATE, NOTIFY-MODEMSTATE and the rest are taken and ignored
  }
  uint8_t answer[3];
  const uint32_t n = TelnetAnswer(&state->options, command.verb, command.option, answer);
  if (n > 0 && state->answerError == 0) {
    state->answerError =
        SendAll(state->socket, answer, n, SteadyNowNs() + int64_t{kInterByteGapMs} * kMsNs);
  }
}

enum class Got { Data, Nothing, Closed, Failed };

// One recv of up to max bytes into buffer, decoded when the port speaks
// Telnet: *count data bytes (possibly none, when only commands came).
Got ReceiveOnce(NetState* state, uint8_t* buffer, uint32_t max, uint32_t* count, int32_t* error) {
  *count = 0;
  const auto n = recv(state->socket, reinterpret_cast<char*>(buffer), static_cast<int>(max), 0);
  if (n == 0) return Got::Closed;
  if (n < 0) {
    *error = SocketError();
    if (WouldBlock(*error)) {
      *error = 0;
      return Got::Nothing;
    }
    return Got::Failed;
  }
  *count = static_cast<uint32_t>(n);
  if (!state->telnet && !state->served && !state->texted) {
    // A printer's answer starts with one of these; a busy server's text
    // does not.
    const uint8_t first = buffer[0];
    state->served = first == 0x06 || first == 0x15 || first == 0x05 || first == 0x02;
    state->texted = !state->served;
  }
  if (state->telnet) {
    *count = TelnetDecode(&state->decoder, buffer, *count, buffer, OnCommand, state);
    if (state->answerError != 0) {
      *error = state->answerError;
      return Got::Failed;
    }
  }
  if (*count > 0) state->writeUnanswered = false;
  return Got::Data;
}

// Reads and drops data until done(state) holds, the deadline passes
// (kTimedOut), the server closes (kClosed) or the socket fails.
int32_t ReceiveUntil(NetState* state, bool (*done)(const NetState&), int64_t deadlineNs) {
  uint8_t buffer[512];
  while (!done(*state)) {
    int32_t error = 0;
    const int revents = WaitSocket(state->socket, POLLIN, deadlineNs, &error);
    if (revents < 0) return error;
    if (revents == 0) return kTimedOut;
    uint32_t count = 0;
    switch (ReceiveOnce(state, buffer, sizeof buffer, &count, &error)) {
      case Got::Closed:
        return kClosed;
      case Got::Failed:
        return error;
      case Got::Data:
      case Got::Nothing:
        break;
    }
  }
  return 0;
}

bool OptionsSettled(const NetState& s) {
  return TelnetNegotiated(s.options) != TelnetReady::Pending;
}

bool LineAnswered(const NetState& s) {
  return s.settingsAnswered == (1u << kLineSettingCount) - 1;
}

bool PurgeConfirmed(const NetState& s) {
  return s.purgeConfirmed;
}

// A server that closes the connection during the open (a reset among them,
// when it closes with the client's requests unread) has turned the client
// away: it serves another.
bool TurnedAway(int32_t error) {
  return error == kClosed || error == kAborted;
}

// The Telnet options, then the line.
int32_t Negotiate(Port* port, NetState* state, bool* busy, OpenProblem* problem) {
  uint8_t request[64];
  uint32_t n = TelnetStart(&state->options, request);
  int32_t error =
      SendAll(state->socket, request, n, SteadyNowNs() + MsNs(port->negotiationTimeoutMs));
  if (error == 0) {
    error = ReceiveUntil(state, OptionsSettled, SteadyNowNs() + MsNs(port->negotiationTimeoutMs));
  }
  *busy = TurnedAway(error);
  if (error != 0) return error;
  if (TelnetNegotiated(state->options) == TelnetReady::Refused) {
    TraceText("rfc2217: the server refuses the COM-PORT-OPTION");
    *problem = OpenProblem::OptionRefused;
    return kRefusedOption;
  }
  n = 0;
  for (const ComPortSetting& s : kLineSettings) {
    n += ComPortRequest(s.command, s.value, s.length, request + n);
  }
  const int64_t deadline = SteadyNowNs() + MsNs(port->negotiationTimeoutMs);
  error = SendAll(state->socket, request, n, deadline);
  if (error == 0) error = ReceiveUntil(state, LineAnswered, deadline);
  *busy = TurnedAway(error);
  if (error != 0) return error;
  if (state->settingWrong != nullptr) {
    TraceStr("rfc2217: the server answers another", state->settingWrong);
    *problem = OpenProblem::OtherLine;
    return kOtherLine;
  }
  return 0;
}

bool NeverDone(const NetState&) {
  return false;
}

// Connects a tcp:// port and notes when; 0 or the error, with *problem.
int32_t ConnectTcp(Port* port, NetState* state, OpenProblem* problem) {
  const int64_t start = SteadyNowNs();
  const int32_t error = Connect(state->host, state->service, start + MsNs(port->connectTimeoutMs),
                                &state->socket, problem);
  if (error != 0) {
    state->socket = kNoSocket;
    return error;
  }
  state->connectedNs = SteadyNowNs();
  state->connectTookNs = state->connectedNs - start;
  state->served = false;
  state->texted = false;
  port->handle = static_cast<intptr_t>(state->socket);
  return 0;
}

// On tcp:// nothing is negotiated, so a server that turns the client away
// shows it only by closing, mostly after a text ("in use"). The open does
// not wait for that: the first exchange goes out at once, and a busy server
// throws away what it is sent. The server serves the client once the first
// byte it sends is one a printer's answer starts with (ACK, NAK, ENQ, STX).
// Before that, its close is a turn-away when a text came before it (the
// read then waits up to the read gap for the close behind the text), or when
// it comes within kBareCloseNs of the connect (plus twice the connect's
// time); a later bare close is a failed connection, as it was. After a
// turn-away the port connects again, every kBusyRetryMs for at most the
// port's busy wait since the first turn-away, and sends again what it had
// written. 0 once connected and sent; else the error, with kBusy and the
// ServerBusy reason when the wait is over.
int32_t ConnectAgain(Port* port, NetState* state) {
  TraceText("tcp: the server closed the connection before serving it: busy");
  if (state->turnedAwayNs == 0) state->turnedAwayNs = SteadyNowNs();
  for (;;) {
    if (state->socket != kNoSocket) CloseSocket(state->socket);
    state->socket = kNoSocket;
    port->handle = -1;
    const int64_t left = MsNs(port->busyWaitMs) - (SteadyNowNs() - state->turnedAwayNs);
    if (left <= 0) {
      port->openProblem = OpenProblem::ServerBusy;
      return kBusy;
    }
    std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(MsNs(kBusyRetryMs), left)));
    OpenProblem problem = OpenProblem::None;
    int32_t error = ConnectTcp(port, state, &problem);
    if (error != 0) {
      port->openProblem = problem != OpenProblem::None ? problem : SocketOpenProblem(error);
      return error;
    }
    const auto count = static_cast<uint32_t>(state->unserved.size());
    error = SendAll(state->socket, reinterpret_cast<const uint8_t*>(state->unserved.data()), count,
                    WriteDeadline(SteadyNowNs(), count));
    if (!TurnedAway(error)) return error;
  }
}

// Whether a failure on a tcp:// port is the server turning the client away.
bool TurnAway(const NetState& state, int32_t error) {
  if (state.telnet || state.served || !TurnedAway(error)) return false;
  return state.texted ||
         SteadyNowNs() - state.connectedNs <= kBareCloseNs + 2 * state.connectTookNs;
}

// --- The backend ---------------------------------------------------------------

bool BaudAnswered(const NetState& s) {
  return s.baudAnswered;
}

// A server may drop what it has not yet passed on to the printer when the
// client closes (ser2net flushes the device's output queue when it closes the
// device, and bytes that come right before the close can be lost). So when the
// last write has had no answer (the ACK that ends an upload, say), the close
// first gives it time to reach the printer: on rfc2217:// it asks for the baud
// rate, which the server answers only after the bytes before the request;
// then, on both schemes, it lets kUnansweredWriteNs pass since the write, plus
// the write's time on the line (2 ms a byte).
void AwaitLastWrite(NetState* state) {
  if (!state->writeUnanswered) return;
  if (state->telnet) {
    const uint8_t query[4] = {0, 0, 0, 0};  // "the current rate"
    uint8_t request[16];
    const uint32_t n = ComPortRequest(kComPortSetBaudRate, query, sizeof query, request);
    const int64_t deadline = SteadyNowNs() + kCloseWaitNs;
    state->baudAnswered = false;
    if (SendAll(state->socket, request, n, deadline) == 0) {
      ReceiveUntil(state, BaudAnswered, deadline);
    }
  }
  const int64_t left = state->lastWriteNs + kUnansweredWriteNs +
                       kWritePerByteNs * state->lastWriteCount - SteadyNowNs();
  if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

// The close is graceful: the client's end goes first (after all it wrote),
// then what the server still sends is read and dropped until it closes its
// end too, for at most kCloseWaitNs. A socket closed with unread bytes would
// reset the connection, and the server could lose what it had not yet passed
// on to the printer.
// An open that fails drops its connection at once (graceful false): nothing
// was written that the server must pass on.
void Release(Port* port, bool graceful) {
  NetState* state = State(port);
  if (state == nullptr) return;
  if (state->socket != kNoSocket) {
    if (graceful) {
      AwaitLastWrite(state);
      ShutdownSending(state->socket);
      ReceiveUntil(state, NeverDone, SteadyNowNs() + kCloseWaitNs);
    }
    CloseSocket(state->socket);
  }
  delete state;
  port->state = nullptr;
  port->handle = -1;
}

void NetClose(Port* port) {
  Release(port, true);
}

int NetOpen(Port* port, const char* name, int32_t* error, bool* busy) {
  NetClose(port);
  *busy = false;
  NetName parsed;
  if (name == nullptr || ParseName(name, &parsed) != nullptr) {
    port->openProblem = OpenProblem::BadName;
    *error = Fail(port, InvalidPortNameError());
    return 0;
  }
  NetState* state = new (std::nothrow) NetState;
  if (state == nullptr) {
    port->openProblem = OpenProblem::Other;
    *error = Fail(port, kNoMemory);
    return 0;
  }
  port->state = state;
  state->telnet = parsed.scheme == Scheme::Rfc2217;
  try {
    state->host = parsed.host;
    state->service = parsed.service;
  } catch (...) {
    Release(port, false);
    port->openProblem = OpenProblem::Other;
    *error = Fail(port, kNoMemory);
    return 0;
  }
  OpenProblem problem = OpenProblem::None;
  int32_t failure = ConnectTcp(port, state, &problem);
  if (failure == 0 && state->telnet) failure = Negotiate(port, state, busy, &problem);
  if (failure != 0) {
    Release(port, false);
    if (*busy) problem = OpenProblem::ServerBusy;
    port->openProblem = problem != OpenProblem::None ? problem : SocketOpenProblem(failure);
    *error = Fail(port, *busy ? kBusy : failure);
    return 0;
  }
  port->handle = static_cast<intptr_t>(state->socket);
  *error = 0;
  return 1;
}

bool IsOpen(const Port* port) {
  return State(port) != nullptr && State(port)->socket != kNoSocket;
}

// Drops what has arrived; on rfc2217:// also asks the server to purge both
// directions and waits for its confirmation, which some servers never send:
// after one such purge, the port does not wait for it again.
int NetPurge(Port* port) {
  if (!IsOpen(port)) {
    Fail(port, kClosed);
    return 0;
  }
  NetState* state = State(port);
  uint8_t buffer[512];
  uint32_t count = 0;
  int32_t error = 0;
  state->unserved.clear();  // what the attempt after the purge writes
  for (;;) {
    const Got got = ReceiveOnce(state, buffer, sizeof buffer, &count, &error);
    if (got == Got::Nothing) break;
    if (got == Got::Closed) error = kClosed;
    if (got == Got::Closed || got == Got::Failed) {
      if (TurnAway(*state, error)) error = ConnectAgain(port, state);
      if (error == 0) continue;
      Fail(port, error);
      return 0;
    }
  }
  if (!state->telnet) return 1;
  uint8_t request[8];
  const uint8_t both = kPurgeBoth;
  const uint32_t n = ComPortRequest(kComPortPurgeData, &both, 1, request);
  const int64_t deadline = SteadyNowNs() + MsNs(port->negotiationTimeoutMs);
  state->purgeConfirmed = false;
  error = SendAll(state->socket, request, n, deadline);
  if (error == 0 && !state->purgeUnconfirmed) {
    error = ReceiveUntil(state, PurgeConfirmed, deadline);
    if (error == kTimedOut) {
      TraceText("rfc2217: the server did not confirm the purge");
      state->purgeUnconfirmed = true;
      error = 0;
    }
  }
  if (error != 0) {
    Fail(port, error);
    return 0;
  }
  return 1;
}

void NetWrite(Port* port, const uint8_t* bytes, uint32_t count, int32_t* error) {
  *error = 0;
  if (!IsOpen(port)) {
    *error = Fail(port, kClosed);
    return;
  }
  NetState* state = State(port);
  state->writeUnanswered = true;
  state->lastWriteNs = SteadyNowNs();
  state->lastWriteCount = count;
  const int64_t deadline = WriteDeadline(state->lastWriteNs, count);
  if (!state->telnet) {
    if (!state->served) {
      if (state->unserved.size() + count > kUnservedBytes) {
        state->served = true;  // too much to send again: no retry
      } else {
        try {
          state->unserved.append(reinterpret_cast<const char*>(bytes), count);
        } catch (...) {
          state->served = true;
        }
      }
    }
    int32_t failure = SendAll(state->socket, bytes, count, deadline);
    if (TurnAway(*state, failure)) failure = ConnectAgain(port, state);
    if (failure != 0) *error = Fail(port, failure);
    return;
  }
  uint8_t encoded[512];
  for (uint32_t at = 0; at < count;) {
    const uint32_t piece = std::min<uint32_t>(count - at, sizeof encoded / 2);
    const uint32_t n = TelnetEncode(bytes + at, piece, encoded);
    const int32_t failure = SendAll(state->socket, encoded, n, deadline);
    if (failure != 0) {
      *error = Fail(port, failure);
      return;
    }
    at += piece;
  }
}

// Waits until deadlineNs for at least one data byte; Telnet commands that
// come meanwhile are taken out and the wait goes on to the same deadline.
uint32_t NetReadSome(Port* port, uint8_t* buffer, uint32_t max, int64_t deadlineNs,
                     int32_t* error) {
  NetState* state = State(port);
  for (;;) {
    const int revents = WaitSocket(state->socket, POLLIN, deadlineNs, error);
    if (revents == 0) return 0;
    if (revents < 0) return 0;
    uint32_t count = 0;
    switch (ReceiveOnce(state, buffer, max, &count, error)) {
      case Got::Data:
        if (count > 0) return count;
        break;
      case Got::Nothing:
        break;
      case Got::Closed:
        *error = kClosed;
        return 0;
      case Got::Failed:
        return 0;
    }
  }
}

// On tcp://, a read whose bytes are a server's text looks for the close
// behind them (the bytes, no answer of a printer, are dropped meanwhile); a
// read that ends with a turn-away is made again, whole, over the new
// connection.
uint32_t NetRead(Port* port, const ReadCall& call, int32_t* error) {
  if (!IsOpen(port)) {
    *error = Fail(port, kClosed);
    return 0;
  }
  NetState* state = State(port);
  for (;;) {
    const uint32_t got = TimedRead(port, call, NetReadSome, error);
    if (state->telnet || state->served) return got;
    if (*error == 0 && state->texted) {
      *error = ReceiveUntil(state, NeverDone, SteadyNowNs() + MsNs(kInterByteGapMs));
      if (*error == kTimedOut) {
        // No close behind the text: a served connection after all.
        *error = 0;
        state->served = true;
      }
    }
    if (*error == 0 || !TurnAway(*state, *error)) {
      if (*error != 0) port->lastError = *error;
      return got;
    }
    const int32_t again = ConnectAgain(port, state);
    if (again != 0) {
      *error = Fail(port, again);
      return 0;
    }
  }
}

void NetPause(Port*, uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t NetNow(Port*) {
  return static_cast<uint64_t>(SteadyNowNs() / kMsNs);
}

constexpr PortBackend kNetPort = {NetOpen, NetClose, NetPurge, NetWrite,
                                  NetRead, NetPause, NetNow,   nullptr};

}  // namespace

const PortBackend* NetworkPort() {
  return &kNetPort;
}

bool IsNetworkPortName(std::string_view name) {
  return name.starts_with(kTcpPrefix) || name.starts_with(kRfc2217Prefix);
}

const char* NetworkNameFault(std::string_view name) {
  if (!IsNetworkPortName(name)) return nullptr;
  NetName parsed;
  return ParseName(name, &parsed);
}

}  // namespace vexolant
