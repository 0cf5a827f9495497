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

#include "link/port.h"
#include "scratch_dir.h"

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

TEST(Win32OpenHint, HeldPort) {
  EXPECT_STREQ(PortOpenHint(ERROR_ACCESS_DENIED), "another program holds the port");
  EXPECT_STREQ(PortOpenHint(ERROR_SHARING_VIOLATION), "another program holds the port");
}

TEST(Win32OpenHint, MissingPortNamesAnExample) {
  for (DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME}) {
    SCOPED_TRACE(error);
    const std::string hint = PortOpenHint(static_cast<int32_t>(error));
    EXPECT_EQ(hint.rfind("no such port", 0), 0u) << hint;
    EXPECT_NE(hint.find("COM3"), std::string::npos) << hint;
  }
}

TEST(Win32OpenHint, NoneForOtherErrors) {
  for (DWORD error : {DWORD{0}, DWORD{ERROR_INVALID_PARAMETER}, DWORD{ERROR_GEN_FAILURE},
                      DWORD{ERROR_NOT_SUPPORTED}, DWORD{ERROR_INVALID_FUNCTION}}) {
    SCOPED_TRACE(error);
    EXPECT_STREQ(PortOpenHint(static_cast<int32_t>(error)), "");
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

TEST(Win32Open, MissingPortFailsWithTheSystemError) {
  const PortBackend* port = PlatformPort();
  for (int attempt = 0; attempt < 2; ++attempt) {  // nothing left over from the first
    int32_t error = -1;
    EXPECT_EQ(port->open("COM199", &error), 0);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(port->lastError(), ERROR_FILE_NOT_FOUND);
  }
  port->close();
  port->close();  // closing a closed port changes nothing
}

// A file opens like a device but takes no serial settings: the open fails at
// a later step and releases the handle it had.
TEST(Win32Open, DeviceThatIsNoSerialPortFailsAndIsReleased) {
  ScratchDir dir;
  const std::string path = dir.File("not-a-port");
  WriteBytes(path, "x");
  const PortBackend* port = PlatformPort();
  int32_t error = 0;
  EXPECT_EQ(port->open(path.c_str(), &error), 0);
  EXPECT_NE(error, 0);
  EXPECT_NE(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(NoHandleLeftOn(path)) << "the failed open kept its handle";
}

TEST(Win32Open, NulDeviceIsNoSerialPort) {
  int32_t error = 0;
  EXPECT_EQ(PlatformPort()->open("NUL", &error), 0);
  EXPECT_NE(error, 0);
}

}  // namespace
