// Serial port backend for Windows: a COM device opened for overlapped I/O,
// with every write and read waiting for its own completion. Reads wait for
// their first byte under the driver's read time-out, set to what is left
// until the deadline of the shared read loop.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <bit>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "link/port.h"
#include "link/wait_win32.h"
#include "platform/os_error.h"
#include "trace/trace.h"

namespace vexolant {

namespace {

// Both driver queues, in bytes.
constexpr DWORD kQueueSize = 4096;
// Abort pending output and input and empty both driver queues.
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// How long past its own time-out a read may stay with the driver before it
// is cancelled: the driver's timer is coarse, but it must not hold a read.
constexpr DWORD kDriverSlackMs = 1000;
// A write is allowed 2 ms a byte (a byte takes 1.15 ms on the line).
constexpr DWORD kWritePerByteMs = 2;

// What the backend keeps of an open port besides its handle.
struct PortState {
  DCB settings{};
  COMMTIMEOUTS timeouts{};  // as the port has them now
  OVERLAPPED readBlock{};
  OVERLAPPED writeBlock{};
};

HANDLE Handle(const Port* port) {
  return reinterpret_cast<HANDLE>(port->handle);
}

PortState* State(const Port* port) {
  return static_cast<PortState*>(port->state);
}

bool IsOpen(const Port* port) {
  return Handle(port) != INVALID_HANDLE_VALUE && port->state != nullptr;
}

int32_t Fail(Port* port, DWORD error) {
  port->lastError = static_cast<int32_t>(error);
  return port->lastError;
}

// 9600 baud, 8 data bits, even parity, 1 stop bit, no flow control, DTR on
// and RTS off. Every field is set, after the whole record has been zeroed.
constexpr DCB LineSettings() {
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.BaudRate = CBR_9600;
  d.fBinary = 1;
  d.fParity = 1;
  d.fOutxCtsFlow = 0;
  d.fOutxDsrFlow = 0;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fDsrSensitivity = 0;
  d.fTXContinueOnXoff = 1;
  d.fOutX = 0;
  d.fInX = 0;
  d.fErrorChar = 0;
  d.fNull = 0;
  d.fRtsControl = RTS_CONTROL_DISABLE;
  d.fAbortOnError = 0;
  d.fDummy2 = 0;
  d.wReserved = 0;
  d.XonLim = 10;
  d.XoffLim = 10;
  d.ByteSize = 8;
  d.Parity = EVENPARITY;
  d.StopBits = ONESTOPBIT;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  d.ErrorChar = 0x3F;
  d.EofChar = 0;
  d.EvtChar = 0;
  d.wReserved1 = 0;
  return d;
}

// The flag bits that follow BaudRate, as one 32-bit word.
constexpr uint32_t FlagWord(const DCB& d) {
  struct Layout {
    DWORD length;
    DWORD baud;
    uint32_t flags;
    unsigned char rest[sizeof(DCB) - 12];
  };
  return std::bit_cast<Layout>(d).flags;
}

static_assert(sizeof(DCB) == 28);
static_assert(FlagWord(LineSettings()) == 0x93);

// The time-outs every open applies: a read ends 50 ms after its last byte or
// after 1000 ms per requested byte; a write is allowed 2 ms per byte.
constexpr COMMTIMEOUTS Timeouts() {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = kInterByteGapMs;
  t.ReadTotalTimeoutMultiplier = kReadPerByteMs;
  t.ReadTotalTimeoutConstant = 0;
  t.WriteTotalTimeoutMultiplier = kWritePerByteMs;
  t.WriteTotalTimeoutConstant = 0;
  return t;
}

// The time-outs of a read of the shared read loop, which keeps the gap and
// the deadlines itself: a read of one byte waits up to waitMs for it.
constexpr COMMTIMEOUTS LoopTimeouts(DWORD waitMs) {
  COMMTIMEOUTS t = Timeouts();
  t.ReadIntervalTimeout = 0;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = waitMs;
  return t;
}

void PortSetDefaults(PortState* state) {
  state->settings = LineSettings();
  state->timeouts = Timeouts();
}

// A zeroed block with a manual-reset event, not signalled; false when the
// event cannot be created.
bool PrepareBlock(OVERLAPPED* block) {
  *block = OVERLAPPED{};
  block->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return block->hEvent != nullptr;
}

void ReleaseEvent(OVERLAPPED* block) {
  if (block->hEvent == nullptr) return;
  CloseHandle(block->hEvent);
  block->hEvent = nullptr;
}

int Win32Purge(Port* port) {
  if (Handle(port) == INVALID_HANDLE_VALUE) {
    Fail(port, ERROR_INVALID_HANDLE);
    return 0;
  }
  const BOOL purged = PurgeComm(Handle(port), kPurgeAll);
  if (!purged) Fail(port, GetLastError());
  return purged;
}

// Only unread input is dropped: what was written (the ACK that ends an
// upload, say) may still be in the driver's queue, and the printer counts on
// it. Each write has already waited for its own completion.
void Win32Close(Port* port) {
  if (Handle(port) != INVALID_HANDLE_VALUE) {
    SetCommMask(Handle(port), 0);
    PurgeComm(Handle(port), PURGE_RXABORT | PURGE_RXCLEAR);
    CloseHandle(Handle(port));
  }
  port->handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
  PortState* state = State(port);
  if (state == nullptr) return;
  ReleaseEvent(&state->readBlock);
  ReleaseEvent(&state->writeBlock);
  delete state;
  port->state = nullptr;
}

// Acquires and configures in the fixed order; false at the first failing step,
// with GetLastError still holding its error.
bool AcquireAndConfigure(Port* port, PortState* state, const char* path) {
  const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  port->handle = reinterpret_cast<intptr_t>(handle);
  if (!SetupComm(handle, kQueueSize, kQueueSize)) return false;
  PortSetDefaults(state);
  if (!SetCommState(handle, &state->settings)) return false;
  if (!PurgeComm(handle, kPurgeAll)) return false;
  if (!SetCommTimeouts(handle, &state->timeouts)) return false;
  if (!PrepareBlock(&state->writeBlock)) return false;
  if (!PrepareBlock(&state->readBlock)) return false;
  if (!SetCommMask(handle, 0)) return false;
  EscapeCommFunction(handle, SETDTR);  // DTR is already on through the settings
  return true;
}

int Win32Open(Port* port, const char* name, int32_t* error, bool* busy) {
  Win32Close(port);  // a second open must not leak the first port
  *busy = false;
  PortState* state = new (std::nothrow) PortState;
  if (state == nullptr) {
    *error = Fail(port, ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  port->state = state;
  if (!AcquireAndConfigure(port, state, PortDevicePath(name).c_str())) {
    const DWORD failure = GetLastError();
    Win32Close(port);
    *busy = PortBusyError(static_cast<int32_t>(failure)) != 0;
    *error = Fail(port, failure);
    return 0;
  }
  *error = 0;
  return 1;
}

// Waits for the pending operation on the block to complete; returns 0 or the
// OS error number, with *done set to the bytes transferred.
DWORD Complete(HANDLE handle, OVERLAPPED* block, DWORD* done, bool traceIncomplete) {
  for (;;) {
    if (GetOverlappedResult(handle, block, done, TRUE)) return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_INCOMPLETE) return error;
    if (traceIncomplete) TraceText("** Verificacion de IO imcompleto **");
  }
}

void Win32Write(Port* port, const uint8_t* bytes, uint32_t count, int32_t* error) {
  if (!IsOpen(port)) {
    *error = Fail(port, ERROR_INVALID_HANDLE);
    return;
  }
  // The write completes once the driver has sent its bytes, or when its own
  // time-out (kWritePerByteMs a byte) has passed: the drain is part of the
  // write and bounded by it. Should the driver not keep its time-out, the
  // write is cancelled kDriverSlackMs later, as a read is.
  OVERLAPPED* block = &State(port)->writeBlock;
  const HANDLE handle = Handle(port);
  DWORD done = 0;
  DWORD failure = 0;
  if (!WriteFile(handle, bytes, count, &done, block)) {
    failure = GetLastError();
    if (failure == ERROR_IO_PENDING) {
      bool cancelled = false;
      if (WaitForSingleObject(block->hEvent, kWritePerByteMs * count + kDriverSlackMs) !=
          WAIT_OBJECT_0) {
        cancelled = CancelIoEx(handle, block) != 0;
      }
      failure = Complete(handle, block, &done, true);
      if (cancelled && failure == ERROR_OPERATION_ABORTED) failure = ERROR_TIMEOUT;
    }
  }
  // Fewer bytes than asked means the write's time-out passed.
  if (failure == 0 && done < count) failure = ERROR_TIMEOUT;
  *error = failure == 0 ? 0 : Fail(port, failure);
}

// Gives the port the loop's time-outs for waitMs; the driver is only asked
// when they change. 0 or the OS error.
DWORD SetReadWait(Port* port, DWORD waitMs) {
  PortState* state = State(port);
  const COMMTIMEOUTS wanted = LoopTimeouts(waitMs);
  if (std::memcmp(&state->timeouts, &wanted, sizeof wanted) == 0) return 0;
  COMMTIMEOUTS timeouts = wanted;
  if (!SetCommTimeouts(Handle(port), &timeouts)) return GetLastError();
  state->timeouts = wanted;
  return 0;
}

// One ReadFile of up to max bytes, waiting up to waitMs: the bytes it
// brought, with *failure 0 or the OS error.
DWORD ReadOnce(Port* port, uint8_t* buffer, uint32_t max, DWORD waitMs, DWORD* failure) {
  const HANDLE handle = Handle(port);
  OVERLAPPED* block = &State(port)->readBlock;
  DWORD done = 0;
  *failure = 0;
  if (ReadFile(handle, buffer, max, &done, block)) return done;
  *failure = GetLastError();
  if (*failure != ERROR_IO_PENDING) return 0;
  // The driver ends the read by its time-out; should it not, the read is
  // cancelled, and the bytes it brought until then still count.
  bool cancelled = false;
  if (WaitForSingleObject(block->hEvent, waitMs + kDriverSlackMs) != WAIT_OBJECT_0) {
    cancelled = CancelIoEx(handle, block) != 0;
  }
  *failure = Complete(handle, block, &done, false);
  // Some drivers end a timed-out read with ERROR_TIMEOUT instead of success;
  // the bytes received so far (none on a silent line) are the answer.
  if (*failure == ERROR_TIMEOUT || (cancelled && *failure == ERROR_OPERATION_ABORTED)) {
    *failure = 0;
  }
  return done;
}

// The bytes waiting in the driver's input queue, up to max; 0 with *failure
// set when the driver cannot tell.
DWORD Queued(Port* port, uint32_t max, DWORD* failure) {
  COMSTAT status{};
  DWORD errors = 0;
  if (!ClearCommError(Handle(port), &errors, &status)) {
    *failure = GetLastError();
    return 0;
  }
  return status.cbInQue < max ? status.cbInQue : max;
}

// Takes the bytes already in the driver's queue, up to max: a read of bytes
// that are there returns at once, whatever the time-outs.
DWORD TakeQueued(Port* port, uint8_t* buffer, uint32_t max, DWORD* failure) {
  const DWORD queued = Queued(port, max, failure);
  if (*failure != 0 || queued == 0) return 0;
  return ReadOnce(port, buffer, queued, 0, failure);
}

// Waits until deadlineNs for at least one byte and returns what is there, up
// to max: 0 when the deadline passed, or *error. Bytes in the driver's queue
// are taken at once; else one byte is waited for under the driver's total
// time-out, and what came with it is taken at once.
uint32_t Win32ReadSome(Port* port, uint8_t* buffer, uint32_t max, int64_t deadlineNs,
                       int32_t* error) {
  DWORD failure = 0;
  DWORD done = TakeQueued(port, buffer, max, &failure);
  while (failure == 0 && done == 0) {
    const int64_t left = deadlineNs - SteadyNowNs();
    if (left <= 0) return 0;
    // The driver's timer may end a little before the deadline of the steady
    // clock: a wait that brings nothing goes on for what is left.
    const DWORD waitMs = WaitMs(left);
    failure = SetReadWait(port, waitMs);
    if (failure == 0) done = ReadOnce(port, buffer, 1, waitMs, &failure);
    if (failure == 0 && done == 1 && max > 1) {
      done += TakeQueued(port, buffer + 1, max - 1, &failure);
    }
  }
  if (failure != 0) {
    *error = static_cast<int32_t>(failure);
    return 0;
  }
  return done;
}

uint32_t Win32Read(Port* port, const ReadCall& call, int32_t* error) {
  if (!IsOpen(port)) {
    *error = Fail(port, ERROR_INVALID_HANDLE);
    return 0;
  }
  return TimedRead(port, call, Win32ReadSome, error);
}

void Win32Pause(Port*, uint32_t milliseconds) {
  Sleep(milliseconds);
}

// Milliseconds of the performance counter, which runs monotonically.
uint64_t Win32Now(Port*) {
  LARGE_INTEGER count{};
  LARGE_INTEGER frequency{};
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  const auto ticks = static_cast<uint64_t>(count.QuadPart);
  const auto perSecond = static_cast<uint64_t>(frequency.QuadPart);
  return ticks / perSecond * 1000 + ticks % perSecond * 1000 / perSecond;
}

constexpr PortBackend kWin32Port = {Win32Open, Win32Close, Win32Purge, Win32Write,
                                    Win32Read, Win32Pause, Win32Now,   nullptr};

// "COMn": the device name that needs the \\.\ prefix from COM10 on.
bool IsBareComName(const char* name) {
  if (std::strlen(name) < 4) return false;
  for (int i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
  }
  for (const char* p = name + 3; *p != '\0'; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

}  // namespace

const PortBackend* PlatformPort() {
  return &kWin32Port;
}

// The COM driver refuses a second open with a sharing violation, some
// drivers with access denied: both are a port that another process holds.
OpenProblem LocalOpenProblem(int32_t error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return OpenProblem::NoDevice;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return OpenProblem::Busy;
    default:
      return OpenProblem::Other;
  }
}

std::string PortDevicePath(const char* name) {
  if (IsBareComName(name)) return std::string("\\\\.\\") + name;
  return name;
}

}  // namespace vexolant
