// The Win32 serial backend without a serial port: the device a port name
// opens, the messages for a failed open, and opens that fail.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "app/port_holder.h"
#include "link/port.h"
#include "platform/os_error.h"
#include "scratch_dir.h"

using namespace vexolant;

namespace {

TEST(Win32PortName, BareComNamesGetTheDevicePrefix) {
  EXPECT_EQ(PortDevicePath("COM1"), "\\\\.\\COM1");
  EXPECT_EQ(PortDevicePath("COM9"), "\\\\.\\COM9");
  EXPECT_EQ(PortDevicePath("COM10"), "\\\\.\\COM10");
  EXPECT_EQ(PortDevicePath("COM256"), "\\\\.\\COM256");
}

TEST(Win32PortName, CaseOfComDoesNotMatterAndIsKept) {
  EXPECT_EQ(PortDevicePath("com3"), "\\\\.\\com3");
  EXPECT_EQ(PortDevicePath("Com12"), "\\\\.\\Com12");
  EXPECT_EQ(PortDevicePath("cOM7"), "\\\\.\\cOM7");
}

TEST(Win32PortName, OtherNamesAreOpenedUnchanged) {
  for (const char* name : {"", "COM", "COMA", "COM1:", "COM 1", "COM1 ", " COM1", "COM1\n", "xCOM1",
                           "LPT1", "\\\\.\\COM3", "\\\\.\\COM10", "C:/Vexolant/port", "NUL"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PortDevicePath(name), name);
  }
}

// The reasons of the errors a COM port's open fails with, and the text that
// goes with each.
TEST(Win32OpenProblem, ReasonsOfTheOpenErrors) {
  struct Case {
    DWORD error;
    OpenProblem problem;
    const char* inText;
  } cases[] = {
      {ERROR_ACCESS_DENIED, OpenProblem::Busy, "another program holds the port"},
      {ERROR_SHARING_VIOLATION, OpenProblem::Busy, "another program holds the port"},
      {ERROR_FILE_NOT_FOUND, OpenProblem::NoDevice, "COM3"},
      {ERROR_PATH_NOT_FOUND, OpenProblem::NoDevice, "COM3"},
      {ERROR_INVALID_NAME, OpenProblem::NoDevice, "no such port"},
      {0, OpenProblem::Other, "error text"},
      {ERROR_INVALID_PARAMETER, OpenProblem::Other, "error text"},
      {ERROR_GEN_FAILURE, OpenProblem::Other, "error text"},
      {ERROR_NOT_SUPPORTED, OpenProblem::Other, "error text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    const OpenProblem problem = LocalOpenProblem(static_cast<int32_t>(c.error));
    EXPECT_EQ(problem, c.problem);
    EXPECT_NE(std::string(OpenProblemText(problem)).find(c.inText), std::string::npos)
        << OpenProblemText(problem);
  }
}

TEST(Win32ErrorText, SystemTextWithoutLineEndOrFullStop) {
  for (DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER}) {
    SCOPED_TRACE(error);
    const std::string text = OsErrorText(static_cast<int32_t>(error));
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.rfind("error ", 0), 0u) << "the system has a text for " << error;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_NE(text.back(), ' ') << text;
  }
}

TEST(Win32ErrorText, NumberWhenTheSystemHasNoText) {
  EXPECT_EQ(OsErrorText(0x2000FFFF), "error 536936447");
  EXPECT_EQ(OsErrorText(-1), "error -1");
}

// Opening a file exclusively succeeds only when no handle to it is left open.
bool NoHandleLeftOn(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// The port record the tests drive (the platform backend).
Port g_link;

TEST(Win32Open, MissingPortFailsWithTheSystemError) {
  g_link = Port{};
  for (int attempt = 0; attempt < 2; ++attempt) {  // nothing left over from the first
    int32_t error = -1;
    EXPECT_EQ(PortOpen(&g_link, "COM199", &error), 0);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(PortLastError(&g_link), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(g_link.state, nullptr) << "the failed open kept its state";
  }
  PortClose(&g_link);
  PortClose(&g_link);  // closing a closed port changes nothing
}

// A file opens like a device but takes no serial settings: the open fails at
// a later step and releases the handle and the state it had.
TEST(Win32Open, DeviceThatIsNoSerialPortFailsAndIsReleased) {
  ScratchDir dir;
  const std::string path = dir.File("not-a-port");
  WriteBytes(path, "x");
  g_link = Port{};
  int32_t error = 0;
  EXPECT_EQ(PortOpen(&g_link, path.c_str(), &error), 0);
  EXPECT_NE(error, 0);
  EXPECT_NE(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(NoHandleLeftOn(path)) << "the failed open kept its handle";
  EXPECT_EQ(g_link.handle, reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(g_link.state, nullptr);
}

TEST(Win32Open, NulDeviceIsNoSerialPort) {
  g_link = Port{};
  int32_t error = 0;
  EXPECT_EQ(PortOpen(&g_link, "NUL", &error), 0);
  EXPECT_NE(error, 0);
}

// A file that another handle holds without sharing is refused with a sharing
// violation, which is what a COM port held by another process gives: the open
// counts it as busy and tries again until the port's wait is over.
TEST(Win32Open, HeldDeviceIsBusyAndWaitedFor) {
  ScratchDir dir;
  const std::string path = dir.File("held");
  WriteBytes(path, "x");
  const HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  g_link = Port{};
  g_link.busyWaitMs = 200;
  int32_t error = 0;
  uint32_t waitedMs = 0;
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(PortOpen(&g_link, path.c_str(), &error, &waitedMs), 0);
  const ULONGLONG elapsed = GetTickCount64() - start;
  CloseHandle(holder);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  EXPECT_NE(PortBusyError(error), 0);
  EXPECT_EQ(g_link.openProblem, OpenProblem::Busy);
  EXPECT_GE(waitedMs, 200u);
  EXPECT_GE(elapsed, 180u);
  EXPECT_LT(elapsed, 1000u);
  EXPECT_EQ(g_link.state, nullptr);
}

TEST(Win32PortHelpers, BusyErrorsAndNameError) {
  EXPECT_EQ(InvalidPortNameError(), ERROR_INVALID_NAME);
  EXPECT_EQ(PortNameError(""), ERROR_INVALID_NAME);
  EXPECT_NE(PortBusyError(ERROR_SHARING_VIOLATION), 0);
  EXPECT_NE(PortBusyError(ERROR_ACCESS_DENIED), 0);
  for (DWORD error : {DWORD{0}, DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_INVALID_NAME},
                      DWORD{ERROR_GEN_FAILURE}}) {
    EXPECT_EQ(PortBusyError(static_cast<int32_t>(error)), 0) << error;
  }
  EXPECT_EQ(PortHolder("COM5"), "");
}

// Every operation on a port that is not open fails with the invalid-handle
// error and touches nothing.
TEST(Win32Closed, OperationsFailWithInvalidHandle) {
  g_link = Port{};
  uint8_t byte = 0;
  int32_t error = 0;
  EXPECT_EQ(PortRead(&g_link, &byte, 1, &error), 0u);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  error = 0;
  PortWrite(&g_link, &byte, 1, &error);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  g_link.lastError = 0;
  EXPECT_EQ(PortPurge(&g_link), 0);
  EXPECT_EQ(PortLastError(&g_link), ERROR_INVALID_HANDLE);
}

TEST(Win32Clock, PauseBlocksForTheGivenTimeOnTheBackendsClock) {
  g_link = Port{};
  const uint64_t start = PortNow(&g_link);
  const ULONGLONG ticks = GetTickCount64();
  Pause(&g_link, 120);
  const uint64_t elapsed = PortNow(&g_link) - start;
  EXPECT_GE(elapsed, 115u);
  EXPECT_LT(elapsed, 250u);
  EXPECT_NEAR(static_cast<double>(elapsed), static_cast<double>(GetTickCount64() - ticks), 40.0);
}

}  // namespace
