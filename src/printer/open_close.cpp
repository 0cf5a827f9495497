#include "link/port.h"
#include "printer/operations.h"
#include "trace/trace.h"

namespace vexolant {

int OpenFpctrl(Port* port, const char* name, int32_t* error, uint32_t* waitedMs) {
  TraceText("** OpenFpctrl 10112006 **");
  int32_t openError = 0;
  if (PortOpen(port, name, &openError, waitedMs) == 1) {
    TraceText("Puerto abierto");
    if (error != nullptr) *error = 0;
    return 1;
  }
  TraceError("Port_Open", openError);
  if (error != nullptr) *error = openError;
  return 0;
}

int CloseFpctrl(Port* port) {
  TraceText("** CloseFpctrl **");
  PortClose(port);
  return 1;
}

}  // namespace vexolant
