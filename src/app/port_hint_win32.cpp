#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
// After the sockets' header, which must come first.
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

const char* NetworkPortOpenHint(int32_t error) {
  switch (error) {
    case ERROR_SHARING_VIOLATION:
      return "the server serves another client";
    case WSAEPROTONOSUPPORT:
      return "the server does not take the COM-PORT-OPTION of RFC 2217; use tcp:// or a "
             "telnet(rfc2217) accepter";
    case ERROR_BAD_NET_RESP:
      return "the server answered other line settings than 9600 baud, 8 data bits, even parity, "
             "1 stop bit, no flow control";
    case WSAETIMEDOUT:
      return "the server did not answer in time; check the host, the port and any firewall";
    case WSAHOST_NOT_FOUND:
      return "the host cannot be found or reached";
    default:
      return "";
  }
}

// Windows cannot tell cheaply which process holds a COM port.
std::string PortHolder(const char*) {
  return "";
}

}  // namespace vexolant
