// The one serial port of a run: open with fixed line settings, purge, write,
// read under the link's time-outs, close; and the pause of the exchanges.
//
// Printer operations reach the port and the pause only through the functions
// below, which forward to the installed backend: the platform's own (the POSIX
// termios or the Win32 file) by default, a scripted fake in unit tests.
#pragma once

#include <cstdint>
#include <string>

struct PortBackend {
  // 1 when the named port is open and configured; else 0 with *error set.
  int (*open)(const char* name, int32_t* error);
  // Releases whatever is held; harmless when nothing is.
  void (*close)();
  // Nonzero on success; on failure the caller takes the error from lastError.
  int (*purge)();
  // The operating system's error number of the last failing call.
  int32_t (*lastError)();
  // Sends all bytes; *error is 0 or the OS error number.
  void (*write)(const uint8_t* bytes, uint32_t count, int32_t* error);
  // Up to max bytes: returns as soon as max are in, 50 ms after the last byte
  // once one has arrived, and max x 1000 ms after the call at the latest.
  // A silent line gives 0 bytes with *error 0.
  uint32_t (*read)(uint8_t* buffer, uint32_t max, int32_t* error);
  // Blocks the thread for the given milliseconds.
  void (*pause)(uint32_t milliseconds);
};

// The platform's backend (defined by port_posix.cpp or port_win32.cpp).
const PortBackend* PlatformPort();

// Installs a backend; nullptr restores the platform's.
void PortUseBackend(const PortBackend* backend);

int PortOpen(const char* name, int32_t* error);
void PortClose();
int PortPurge();
int32_t PortLastError();
void PortWrite(const uint8_t* bytes, uint32_t count, int32_t* error);
uint32_t PortRead(uint8_t* buffer, uint32_t max, int32_t* error);
void Pause(uint32_t milliseconds);

// Entry operations of the front end. OpenFpctrl returns 1 when the port is
// open; the OS error of a failed open goes to *error when it is given.
int OpenFpctrl(const char* name, int32_t* error = nullptr);
int CloseFpctrl();

// Platform helpers for messages a person can act on (defined per platform).
// The device a port name opens: "ttyS0" -> "/dev/ttyS0", "COM10" -> "\\.\COM10".
std::string PortDevicePath(const char* name);
// The operating system's own text for an error number.
std::string OsErrorText(int32_t error);
// A hint for a port that cannot be opened, or "" when there is none.
const char* PortOpenHint(int32_t error);
