#include "link/port.h"

#include "trace/trace.h"

namespace {
const PortBackend* g_backend = nullptr;

const PortBackend& Backend() {
  if (g_backend == nullptr) g_backend = PlatformPort();
  return *g_backend;
}
}  // namespace

void PortUseBackend(const PortBackend* backend) {
  g_backend = backend;
}

int PortOpen(const char* name, int32_t* error) {
  return Backend().open(name, error);
}
void PortClose() {
  Backend().close();
}
int PortPurge() {
  return Backend().purge();
}
int32_t PortLastError() {
  return Backend().lastError();
}
void PortWrite(const uint8_t* bytes, uint32_t count, int32_t* error) {
  Backend().write(bytes, count, error);
}
uint32_t PortRead(uint8_t* buffer, uint32_t max, int32_t* error) {
  return Backend().read(buffer, max, error);
}
void Pause(uint32_t milliseconds) {
  Backend().pause(milliseconds);
}

int OpenFpctrl(const char* name, int32_t* error) {
  TraceText("** OpenFpctrl 10112006 **");
  int32_t openError = 0;
  if (PortOpen(name, &openError) == 1) {
    TraceText("Puerto abierto");
    if (error != nullptr) *error = 0;
    return 1;
  }
  TraceError("Port_Open", openError);
  if (error != nullptr) *error = openError;
  return 0;
}

int CloseFpctrl() {
  TraceText("** CloseFpctrl **");
  PortClose();
  return 1;
}
