#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "app/port_hint.h"

namespace vexolant {

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

// Windows cannot tell cheaply which process holds a COM port.
std::string PortHolder(const char*) {
  return "";
}

}  // namespace vexolant
