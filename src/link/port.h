// A serial port: open with fixed line settings, purge, write, read under the
// link's time-outs, close; and the pause and the clock of the exchanges.
//
// Everything one port needs lives in its Port record: the backend that drives
// it (by default the platform's own, the POSIX termios or the Win32 file, or
// the network backend for a tcp:// or rfc2217:// name; a scripted fake in
// unit tests), the backend's state, the last OS error and
// the port's options. Printer operations reach the port, the pause and the
// clock only through the functions below, so two ports on two threads never
// share anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vexolant {

struct Port;

constexpr uint64_t kDefaultUploadLimitBytes = uint64_t{64} * 1024 * 1024;

// Read times of the link.
constexpr uint32_t kInterByteGapMs = 50;   // silence after the last byte that ends a read
constexpr uint32_t kReadPerByteMs = 1000;  // a read's bound per requested byte
constexpr uint32_t kNoReadLimit = UINT32_MAX;

// Why an open failed, in terms a person can act on. The values are the C
// API's VEXOLANT_OPEN_* codes. The OS error number an open delivers stays
// what it was; for a reason that has none of its own (a server's answer, a
// name that does not resolve) it is only a near one, and this tells.
enum class OpenProblem : int32_t {
  None = 0,            // the last open succeeded, or none failed
  BadName = 1,         // the name is refused before anything is opened
  NoDevice = 2,        // no such device or port
  Permission = 3,      // this user may not open the device
  Busy = 4,            // another process holds the port
  ServerBusy = 5,      // the network server serves another client
  UnknownHost = 6,     // the host name does not resolve
  Unreachable = 7,     // no route to the host or its network
  Refused = 8,         // the host refuses the connection
  TimedOut = 9,        // the connect or the server's answer did not come in time
  OptionRefused = 10,  // the server refuses the COM-PORT-OPTION of RFC 2217
  OtherLine = 11,      // the server answered other line settings
  Other = 12,          // anything else: the OS error says what
};
constexpr int32_t kLastOpenProblem = static_cast<int32_t>(OpenProblem::Other);
// What to do about the problem, one line; and its name ("busy",
// "unknown_host"), the C API's code without its prefix, in lower case.
const char* OpenProblemText(OpenProblem problem);
const char* OpenProblemName(OpenProblem problem);
// The reason behind the OS error of a local device's failed open (defined
// per platform): the backends of local ports and the scripted fake leave the
// reason to this.
OpenProblem LocalOpenProblem(int32_t error);

// How a read ends once bytes have arrived.
enum class ReadEnd : int32_t {
  Gap = 0,       // 50 ms after the last byte (the default)
  Complete = 1,  // at once when the bytes held are a whole reply; else as Gap
};

// One read: up to max bytes into reply + held, where reply[0, held) are bytes
// of the same reply that earlier reads brought (they take part in judging
// whether the reply is whole). It returns as soon as max bytes are in, when
// the port's ReadEnd says the reply has ended, and limitMs after the call at
// the latest (never later than max x 1000 ms). A silent line gives 0 bytes
// with *error 0.
struct ReadCall {
  uint8_t* reply = nullptr;
  uint32_t held = 0;
  uint32_t max = 0;
  uint32_t limitMs = kNoReadLimit;
};

struct PortBackend {
  // 1 when the named port is open and configured; else 0 with *error set and
  // *busy true when another process holds the port.
  int (*open)(Port* port, const char* name, int32_t* error, bool* busy);
  // Releases whatever is held; harmless when nothing is.
  void (*close)(Port* port);
  // Nonzero on success; on failure port->lastError holds the OS error.
  int (*purge)(Port* port);
  // Sends all bytes; *error is 0 or the OS error number.
  void (*write)(Port* port, const uint8_t* bytes, uint32_t count, int32_t* error);
  // See ReadCall; returns the bytes received.
  uint32_t (*read)(Port* port, const ReadCall& call, int32_t* error);
  // Blocks the thread for the given milliseconds.
  void (*pause)(Port* port, uint32_t milliseconds);
  // Milliseconds of a monotonic clock.
  uint64_t (*now)(Port* port);
  // Makes what was written to an upload's output file (flushed already)
  // durable before its block is acknowledged: 0 or the OS error. nullptr is
  // the platform's own SyncFile (printer/sync_file.h); a fake records when
  // it is asked.
  int (*syncFile)(Port* port, std::FILE* file);
};

struct Port {
  const PortBackend* backend = nullptr;  // nullptr: the platform's
  intptr_t handle = -1;                  // the open device: a descriptor or a HANDLE
  void* state = nullptr;                 // whatever else the backend keeps
  int32_t lastError = 0;                 // the OS error of the last failing call
  // Why the last open failed: set by the backend when it knows better than
  // the OS error (a network server's answer), else by PortOpen.
  OpenProblem openProblem = OpenProblem::None;
  ReadEnd readEnd = ReadEnd::Gap;
  // How long an open waits for a port that another process holds.
  uint32_t busyWaitMs = 0;
  // The largest upload stored, in bytes of its output file.
  uint64_t uploadLimitBytes = kDefaultUploadLimitBytes;
  // Network ports: resolution and connect; each option negotiation and
  // purge confirmation.
  uint32_t connectTimeoutMs = 5000;
  uint32_t negotiationTimeoutMs = 3000;
};

// The platform's backend (defined by port_posix.cpp or port_win32.cpp).
const PortBackend* PlatformPort();
// The backend of network ports, tcp://HOST:PORT and rfc2217://HOST:PORT
// (port_net.cpp). A port whose backend is one of these two, or none yet,
// gets the one that its name calls for when it is opened.
const PortBackend* NetworkPort();
// True for a name with the scheme of a network port.
bool IsNetworkPortName(std::string_view name);
// Why a network port name is malformed (no port number, a port number out of
// range, a host that cannot be one), or nullptr when it is well formed or
// not a network name.
const char* NetworkNameFault(std::string_view name);

// The read loop that the platform backends share: waits for bytes under the
// call's deadlines and ends the read as the port's ReadEnd says. readSome
// waits until deadlineNs (of the steady clock) for at least one byte and
// returns what is there, up to max: 0 when the deadline passed, or *error.
using ReadSomeFn = uint32_t (*)(Port* port, uint8_t* buffer, uint32_t max, int64_t deadlineNs,
                                int32_t* error);
uint32_t TimedRead(Port* port, const ReadCall& call, ReadSomeFn readSome, int32_t* error);
// Nanoseconds of the steady clock, the one TimedRead's deadlines are on.
int64_t SteadyNowNs();

// Waiting for written bytes to leave the driver's output queue, under a
// deadline: a device that stops taking bytes (a USB adapter that hangs)
// must not hold the run and the port. queued tells the bytes still queued
// (0 or the OS error); the wait sleeps between two questions, never
// spinning, as long as the queued bytes need on the line (at least
// kDrainMinSleepNs, at most kDrainMaxSleepNs).
struct OutputQueue {
  int32_t (*queued)(void* context, uint32_t* bytes);
  int64_t (*nowNs)(void* context);
  void (*sleepNs)(void* context, int64_t ns);
  void* context;
};
// A byte on the line at 9600 baud with start, parity and stop bits: 11 bits.
constexpr int64_t kLineByteNs = 11 * 1000000000LL / 9600;
// What a write's bytes may take past their time on the line to leave.
constexpr int64_t kDrainSlackNs = 500 * 1000000LL;
constexpr int64_t kDrainMinSleepNs = 1000000;
constexpr int64_t kDrainMaxSleepNs = 10 * 1000000LL;
enum class Drain { Empty, TimedOut, Failed };
// Empty once the queue holds nothing; TimedOut when it still holds bytes at
// deadlineNs (of queue.nowNs); Failed with *error when it cannot be asked.
Drain WaitForOutput(const OutputQueue& queue, int64_t deadlineNs, int32_t* error);

// Longest port name, in bytes.
constexpr size_t kMaxPortName = 255;
// Why a port name cannot be opened as it stands, or nullptr when it can: no
// name, an empty one, a name longer than kMaxPortName bytes or one that
// holds a control byte (below 0x20, or 0x7F) would open some other device
// than the one named; a network name must be SCHEME://HOST:PORT.
const char* PortNameFault(std::string_view name);
// 0 when PortNameFault finds none (nullptr is no name); else
// InvalidPortNameError().
int32_t PortNameError(const char* name);

// Opens name, waiting up to port->busyWaitMs while another process holds it
// (trying again every kBusyRetryMs). 1 when open; else 0 with the OS error in
// *error, its reason in port->openProblem, and *waitedMs (when given) how
// long it waited for a busy port.
constexpr uint32_t kBusyRetryMs = 25;
int PortOpen(Port* port, const char* name, int32_t* error, uint32_t* waitedMs = nullptr);
void PortClose(Port* port);
int PortPurge(Port* port);
int32_t PortLastError(const Port* port);
void PortWrite(Port* port, const uint8_t* bytes, uint32_t count, int32_t* error);
// A read of up to max bytes with nothing held before it and no limit.
uint32_t PortRead(Port* port, uint8_t* buffer, uint32_t max, int32_t* error);
uint32_t PortReadCall(Port* port, const ReadCall& call, int32_t* error);
void Pause(Port* port, uint32_t milliseconds);
uint64_t PortNow(Port* port);

// The device a port name opens: "ttyS0" -> "/dev/ttyS0", "COM10" ->
// "\\.\COM10" (defined per platform).
std::string PortDevicePath(const char* name);

}  // namespace vexolant
