#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

#include "platform/os_error.h"

namespace vexolant {

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

int32_t InvalidPortNameError() {
  return ERROR_INVALID_NAME;
}

// Another process holds the port: the COM driver refuses a second open with
// a sharing violation, some drivers with access denied.
int PortBusyError(int32_t error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? 1 : 0;
}

int32_t InvalidArgumentError() {
  return ERROR_INVALID_PARAMETER;
}

int32_t OutOfMemoryError() {
  return ERROR_NOT_ENOUGH_MEMORY;
}

int32_t InternalFailureError() {
  return ERROR_GEN_FAILURE;
}

int32_t SelfDeadlockError() {
  return ERROR_POSSIBLE_DEADLOCK;
}

}  // namespace vexolant
