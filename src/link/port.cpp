#include "link/port.h"

#include <algorithm>
#include <chrono>

#include "link/frame.h"
#include "platform/os_error.h"

namespace vexolant {

namespace {

const PortBackend& Backend(Port* port) {
  if (port->backend == nullptr) port->backend = PlatformPort();
  return *port->backend;
}

// The platform's backend or the network's, as the name asks; a backend of
// another kind (a test's) stays.
void ChooseBackend(Port* port, const char* name) {
  const PortBackend* platform = PlatformPort();
  const PortBackend* network = NetworkPort();
  if (port->backend != nullptr && port->backend != platform && port->backend != network) return;
  const PortBackend* wanted = name != nullptr && IsNetworkPortName(name) ? network : platform;
  if (port->backend != nullptr && port->backend != wanted) port->backend->close(port);
  port->backend = wanted;
}

}  // namespace

const char* PortNameFault(std::string_view name) {
  if (name.empty()) return "there is no name";
  if (name.size() > kMaxPortName) return "the name is longer than 255 bytes";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return "the name holds a control byte";
  }
  return NetworkNameFault(name);
}

int32_t PortNameError(const char* name) {
  return name == nullptr || PortNameFault(name) != nullptr ? InvalidPortNameError() : 0;
}

namespace {

struct ProblemRow {
  OpenProblem problem;
  const char* name;
  const char* text;
};

constexpr ProblemRow kProblems[] = {
    {OpenProblem::None, "none", "no open of the port failed"},
    {OpenProblem::BadName, "bad_name",
     "the port name cannot be opened as it stands; write it as a device (such as "
#ifdef _WIN32
     "COM3"
#else
     "ttyUSB0"
#endif
     ") or as tcp://HOST:PORT or rfc2217://HOST:PORT"},
#ifdef _WIN32
    {OpenProblem::NoDevice, "no_device",
     "no such port; check the port name, such as COM3 (COM10 and above need no \\\\.\\ "
     "prefix)"},
    {OpenProblem::Permission, "permission",
     "this account may not open the port; ask its administrator"},
#else
    {OpenProblem::NoDevice, "no_device",
     "no such device; check the port name, such as ttyUSB0 or ttyS0"},
    {OpenProblem::Permission, "permission",
     "join the group that owns the device, such as dialout or uucp, then log in again"},
#endif
    {OpenProblem::Busy, "busy", "another program holds the port"},
    {OpenProblem::ServerBusy, "server_busy", "the server serves another client"},
    {OpenProblem::UnknownHost, "unknown_host",
     "the host name does not resolve; check its spelling and the name service"},
    {OpenProblem::Unreachable, "unreachable",
     "the host cannot be reached; check its address and the network"},
    {OpenProblem::Refused, "refused",
     "the host refuses the connection; check the port number and that the server listens on it"},
    {OpenProblem::TimedOut, "timed_out",
     "the server did not answer in time; check the host, the port and any firewall"},
    {OpenProblem::OptionRefused, "option_refused",
     "the server does not take the COM-PORT-OPTION of RFC 2217; use tcp:// or a "
     "telnet(rfc2217) accepter"},
    {OpenProblem::OtherLine, "other_line",
     "the server answered other line settings than 9600 baud, 8 data bits, even parity, "
     "1 stop bit, no flow control"},
    {OpenProblem::Other, "other", "the system refused the open; its error text says why"},
};

const ProblemRow* FindProblem(OpenProblem problem) {
  for (const ProblemRow& row : kProblems) {
    if (row.problem == problem) return &row;
  }
  return nullptr;
}

}  // namespace

const char* OpenProblemText(OpenProblem problem) {
  const ProblemRow* row = FindProblem(problem);
  return row != nullptr ? row->text : "unknown reason";
}

const char* OpenProblemName(OpenProblem problem) {
  const ProblemRow* row = FindProblem(problem);
  return row != nullptr ? row->name : "unknown";
}

int PortOpen(Port* port, const char* name, int32_t* error, uint32_t* waitedMs) {
  ChooseBackend(port, name);
  const PortBackend& backend = Backend(port);
  const uint64_t start = backend.now(port);
  if (waitedMs != nullptr) *waitedMs = 0;
  for (;;) {
    bool busy = false;
    port->openProblem = OpenProblem::None;
    if (backend.open(port, name, error, &busy) == 1) {
      port->openProblem = OpenProblem::None;
      return 1;
    }
    if (port->openProblem == OpenProblem::None) {
      port->openProblem = busy ? OpenProblem::Busy : LocalOpenProblem(*error);
    }
    const uint64_t waited = backend.now(port) - start;
    if (waitedMs != nullptr) *waitedMs = static_cast<uint32_t>(waited);
    if (!busy || waited >= port->busyWaitMs) return 0;
    backend.pause(
        port, static_cast<uint32_t>(std::min<uint64_t>(kBusyRetryMs, port->busyWaitMs - waited)));
  }
}

void PortClose(Port* port) {
  Backend(port).close(port);
}
int PortPurge(Port* port) {
  return Backend(port).purge(port);
}
int32_t PortLastError(const Port* port) {
  return port->lastError;
}
void PortWrite(Port* port, const uint8_t* bytes, uint32_t count, int32_t* error) {
  Backend(port).write(port, bytes, count, error);
}
uint32_t PortRead(Port* port, uint8_t* buffer, uint32_t max, int32_t* error) {
  return PortReadCall(port, ReadCall{buffer, 0, max, kNoReadLimit}, error);
}
uint32_t PortReadCall(Port* port, const ReadCall& call, int32_t* error) {
  return Backend(port).read(port, call, error);
}
void Pause(Port* port, uint32_t milliseconds) {
  Backend(port).pause(port, milliseconds);
}
uint64_t PortNow(Port* port) {
  return Backend(port).now(port);
}

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Drain WaitForOutput(const OutputQueue& queue, int64_t deadlineNs, int32_t* error) {
  *error = 0;
  for (;;) {
    uint32_t bytes = 0;
    *error = queue.queued(queue.context, &bytes);
    if (*error != 0) return Drain::Failed;
    if (bytes == 0) return Drain::Empty;
    const int64_t left = deadlineNs - queue.nowNs(queue.context);
    if (left <= 0) return Drain::TimedOut;
    const int64_t lineNs = std::clamp(kLineByteNs * bytes, kDrainMinSleepNs, kDrainMaxSleepNs);
    queue.sleepNs(queue.context, std::min(lineNs, left));
  }
}

uint32_t TimedRead(Port* port, const ReadCall& call, ReadSomeFn readSome, int32_t* error) {
  constexpr int64_t kMsNs = 1000000;
  *error = 0;
  const int64_t start = SteadyNowNs();
  int64_t end = start + int64_t{kReadPerByteMs} * call.max * kMsNs;
  if (call.limitMs != kNoReadLimit) end = std::min(end, start + int64_t{call.limitMs} * kMsNs);
  int64_t deadline = end;  // until the first byte; then 50 ms after the latest
  uint8_t* const into = call.reply + call.held;
  uint32_t got = 0;
  while (got < call.max) {
    const uint32_t n = readSome(port, into + got, call.max - got, deadline, error);
    if (*error != 0) {
      port->lastError = *error;
      return got;
    }
    if (n == 0) break;
    got += n;
    if (port->readEnd == ReadEnd::Complete && IsWholeReply(call.reply, call.held + got) == 1) {
      break;
    }
    deadline = std::min(end, SteadyNowNs() + int64_t{kInterByteGapMs} * kMsNs);
  }
  return got;
}

}  // namespace vexolant
