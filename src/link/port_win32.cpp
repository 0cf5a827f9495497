// Serial port backend for Windows: a COM device opened for overlapped I/O,
// with every write and read waiting for its own completion.
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
#include <string>

#include "link/port.h"
#include "trace/trace.h"

namespace {

// Both driver queues, in bytes.
constexpr DWORD kQueueSize = 4096;
// Abort pending output and input and empty both driver queues.
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

struct PortState {
  HANDLE port = INVALID_HANDLE_VALUE;
  DCB settings{};
  COMMTIMEOUTS timeouts{};
  OVERLAPPED readBlock{};
  OVERLAPPED writeBlock{};
};

PortState g_port;
// The OS error number of the last failing call, for the callers of a purge.
int32_t g_lastError = 0;

int32_t Fail(DWORD error) {
  g_lastError = static_cast<int32_t>(error);
  return g_lastError;
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

// A read ends 50 ms after the last byte, or after 1000 ms per requested byte;
// a write is allowed 2 ms per byte.
constexpr COMMTIMEOUTS Timeouts() {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = 50;
  t.ReadTotalTimeoutMultiplier = 1000;
  t.ReadTotalTimeoutConstant = 0;
  t.WriteTotalTimeoutMultiplier = 2;
  t.WriteTotalTimeoutConstant = 0;
  return t;
}

void PortSetDefaults() {
  g_port.settings = LineSettings();
  g_port.timeouts = Timeouts();
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

int Win32Purge() {
  const BOOL purged = PurgeComm(g_port.port, kPurgeAll);
  if (!purged) Fail(GetLastError());
  return purged;
}

void Win32Close() {
  if (g_port.port != INVALID_HANDLE_VALUE) {
    SetCommMask(g_port.port, 0);
    Win32Purge();
    CloseHandle(g_port.port);
  }
  g_port.port = INVALID_HANDLE_VALUE;
  ReleaseEvent(&g_port.readBlock);
  ReleaseEvent(&g_port.writeBlock);
}

// Acquires and configures in the fixed order; false at the first failing step,
// with GetLastError still holding its error.
bool AcquireAndConfigure(const char* path) {
  const HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) return false;
  g_port.port = port;
  if (!SetupComm(port, kQueueSize, kQueueSize)) return false;
  PortSetDefaults();
  if (!SetCommState(port, &g_port.settings)) return false;
  if (!PurgeComm(port, kPurgeAll)) return false;
  if (!SetCommTimeouts(port, &g_port.timeouts)) return false;
  if (!PrepareBlock(&g_port.writeBlock)) return false;
  if (!PrepareBlock(&g_port.readBlock)) return false;
  if (!SetCommMask(port, 0)) return false;
  EscapeCommFunction(port, SETDTR);  // DTR is already on through the settings
  return true;
}

int Win32Open(const char* name, int32_t* error) {
  Win32Close();  // a second open must not leak the first port
  if (!AcquireAndConfigure(PortDevicePath(name).c_str())) {
    const DWORD failure = GetLastError();
    Win32Close();
    *error = Fail(failure);
    return 0;
  }
  *error = 0;
  return 1;
}

int32_t Win32LastError() {
  return g_lastError;
}

// Waits for the pending operation on the block to complete; returns 0 or the
// OS error number, with *done set to the bytes transferred.
DWORD Complete(OVERLAPPED* block, DWORD* done, bool traceIncomplete) {
  for (;;) {
    if (GetOverlappedResult(g_port.port, block, done, TRUE)) return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_INCOMPLETE) return error;
    if (traceIncomplete) TraceText("** Verificacion de IO imcompleto **");
  }
}

void Win32Write(const uint8_t* bytes, uint32_t count, int32_t* error) {
  DWORD done = 0;
  DWORD failure = 0;
  if (!WriteFile(g_port.port, bytes, count, &done, &g_port.writeBlock)) {
    failure = GetLastError();
    if (failure == ERROR_IO_PENDING) failure = Complete(&g_port.writeBlock, &done, true);
  }
  // Fewer bytes than asked means the write's time-out passed.
  if (failure == 0 && done < count) failure = ERROR_TIMEOUT;
  *error = failure == 0 ? 0 : Fail(failure);
}

uint32_t Win32Read(uint8_t* buffer, uint32_t max, int32_t* error) {
  DWORD done = 0;
  DWORD failure = 0;
  if (!ReadFile(g_port.port, buffer, max, &done, &g_port.readBlock)) {
    failure = GetLastError();
    if (failure != ERROR_IO_PENDING) {
      *error = Fail(failure);
      return 0;
    }
    failure = Complete(&g_port.readBlock, &done, false);
  }
  // Some drivers end a timed-out read with ERROR_TIMEOUT instead of success;
  // the bytes received so far (none on a silent line) are the answer.
  if (failure == ERROR_TIMEOUT) failure = 0;
  *error = failure == 0 ? 0 : Fail(failure);
  return done;
}

void Win32Pause(uint32_t milliseconds) {
  Sleep(milliseconds);
}

constexpr PortBackend kWin32Port = {Win32Open,  Win32Close, Win32Purge, Win32LastError,
                                    Win32Write, Win32Read,  Win32Pause};

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

std::string PortDevicePath(const char* name) {
  if (IsBareComName(name)) return std::string("\\\\.\\") + name;
  return name;
}

std::string OsErrorText(int32_t error) {
  char text[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && std::strchr("\r\n. ", message.back()) != nullptr) {
    message.pop_back();
  }
  if (message.empty()) return "error " + std::to_string(error);
  return message;
}

const char* PortOpenHint(int32_t error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return "another program holds the port";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return "no such port; check the name in Puerto.dat, such as COM3 (COM10 and above need no "
             "\\\\.\\ prefix)";
    default:
      return "";
  }
}
