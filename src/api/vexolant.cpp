// The library's C API: handles around ports, each with its own lock, and the
// process-wide switches (the trace). Every operation is the same one the
// console tool runs.
#include "vexolant/vexolant.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "api/handle.h"
#include "link/outcome.h"
#include "link/port.h"
#include "printer/operations.h"
#include "trace/trace.h"

struct vexolant_port {
  std::mutex lock;  // one call at a time on this port
  vexolant::Port port;
  bool open = false;
};

namespace vexolant {

namespace {

constexpr uint32_t kDefaultBusyWaitMs = 30000;
constexpr double kLongestBusyWaitS = 24.0 * 3600.0;

// The live handles. A call finds its handle here before touching it, so a
// handle that was closed (or never made) gets a defined answer; the record
// itself lives until the last call on it has returned.
//
// The value a caller holds is a number from a counter, not the record's
// address: the memory of a closed record is reused by later opens, and a call
// on the closed handle would then drive (or close) another caller's port.
// Each number is given out once; should the counter ever wrap (after 2^32
// opens on a 32-bit system), the numbers still live are skipped.
std::mutex g_handlesLock;
std::map<const vexolant_port*, std::shared_ptr<vexolant_port>> g_handles;
uintptr_t g_lastHandle = 0;

// The value for a new handle. Called with g_handlesLock held.
vexolant_port* NewHandleValue() {
  vexolant_port* value = nullptr;
  do {
    value = reinterpret_cast<vexolant_port*>(++g_lastHandle);
  } while (value == nullptr || g_handles.count(value) != 0);
  return value;
}

std::shared_ptr<vexolant_port> Find(const vexolant_port* port) {
  if (port == nullptr) return nullptr;
  const std::lock_guard<std::mutex> guard(g_handlesLock);
  const auto it = g_handles.find(port);
  return it == g_handles.end() ? nullptr : it->second;
}

// The codes of an operation that never ran: the handle is not open.
int32_t NotOpen(int32_t* status, int32_t* error) {
  if (status != nullptr) *status = 0;
  if (error != nullptr) *error = FP_PORT_ERROR;
  return 0;
}

// Runs an operation on a live, open handle with its lock held; out-pointers
// that are NULL receive into local codes.
template <typename Operation>
int32_t WithPort(vexolant_port* handle, int32_t* status, int32_t* error, Operation operation) {
  const std::shared_ptr<vexolant_port> found = Find(handle);
  if (found == nullptr) return NotOpen(status, error);
  const std::lock_guard<std::mutex> guard(found->lock);
  if (!found->open) return NotOpen(status, error);
  int32_t localStatus = 0;
  int32_t localError = 0;
  return operation(&found->port, status != nullptr ? status : &localStatus,
                   error != nullptr ? error : &localError);
}

}  // namespace

uint32_t PortWaitFromEnvironment() {
  return SecondsFromEnvironment("VEXOLANT_PORT_WAIT", kDefaultBusyWaitMs);
}

uint32_t SecondsFromEnvironment(const char* variable, uint32_t defaultMs) {
  const char* text = std::getenv(variable);
  if (text == nullptr || text[0] == '\0') return defaultMs;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(seconds >= 0.0)) return defaultMs;
  // Rounded to the millisecond without the maths library, which the console
  // tool then need not load.
  const double capped = seconds < kLongestBusyWaitS ? seconds : kLongestBusyWaitS;
  return static_cast<uint32_t>(capped * 1000.0 + 0.5);
}

ReadEnd ReadEndFromEnvironment() {
  const char* text = std::getenv("VEXOLANT_READ_END");
  return text != nullptr && std::strcmp(text, "complete") == 0 ? ReadEnd::Complete : ReadEnd::Gap;
}

int32_t OpenHandle(const char* portName, uint32_t busyWaitMs, const PortBackend* backend,
                   void* backendState, vexolant_port** port) {
  if (port == nullptr) return -1;
  *port = nullptr;
  const int32_t invalid = PortNameError(portName);
  if (invalid != 0) return invalid;
  std::shared_ptr<vexolant_port> handle(new (std::nothrow) vexolant_port);
  if (handle == nullptr) return ENOMEM;
  handle->port.backend = backend;
  handle->port.state = backendState;
  handle->port.busyWaitMs = busyWaitMs;
  handle->port.readEnd = ReadEndFromEnvironment();
  handle->port.connectTimeoutMs =
      SecondsFromEnvironment("VEXOLANT_CONNECT_TIMEOUT", handle->port.connectTimeoutMs);
  handle->port.negotiationTimeoutMs =
      SecondsFromEnvironment("VEXOLANT_NEGOTIATION_TIMEOUT", handle->port.negotiationTimeoutMs);
  int32_t error = 0;
  if (OpenFpctrl(&handle->port, portName, &error) != 1) return error != 0 ? error : EIO;
  handle->open = true;
  const std::lock_guard<std::mutex> guard(g_handlesLock);
  vexolant_port* const value = NewHandleValue();
  g_handles[value] = handle;
  *port = value;
  return 0;
}

namespace {

struct CodeText {
  int32_t code;
  const char* text;
};

constexpr CodeText kCodeTexts[] = {
    {0, "no error"},
    {FP_PORT_ERROR, "the port failed (purge, write or read), or it is not open"},
    {FP_ANSWER_ERROR, "the printer's answer was invalid or unexpected"},
    {FP_NO_ANSWER, "the printer did not answer"},
    {FP_NAK_ERROR, "the printer answered NAK"},
    {FP_FILE_ERROR, "a file could not be opened, read or written"},
    {FP_TEXT_ERROR, "the command text holds STX, ETX or ETB and was not sent"},
    {92, "the command file held no command, or the printer's error 92 (command refused)"},
    {1, "the printer's error 1 (command accepted)"},
    {2, "the printer's error 2 (command accepted)"},
    {3, "the printer's error 3 (command refused)"},
    {80, "the printer's error 80 (command refused)"},
    {84, "the printer's error 84 (command refused)"},
    {88, "the printer's error 88 (command refused)"},
    {96, "the printer's error 96 (command refused)"},
    {100, "the printer's error 100 (command refused)"},
    {108, "the printer's error 108 (command refused)"},
    {112, "the printer's status reports an error (command refused)"},
    {225, "the printer's error 225 (command refused)"},
    {226, "the printer's error 226 (command refused)"},
    {227, "the printer's error 227 (command refused)"},
    {228, "the printer's error 228 (command refused)"},
    {232, "the printer's error 232 (command accepted)"},
    {233, "the printer's error 233 (command refused)"},
};

}  // namespace

}  // namespace vexolant

using namespace vexolant;

extern "C" {

int32_t vexolant_open(const char* port_name, vexolant_port** port) {
  return OpenHandle(port_name, PortWaitFromEnvironment(), nullptr, nullptr, port);
}

int32_t vexolant_open_wait(const char* port_name, int32_t wait_ms, vexolant_port** port) {
  return OpenHandle(port_name, wait_ms > 0 ? static_cast<uint32_t>(wait_ms) : 0, nullptr, nullptr,
                    port);
}

void vexolant_close(vexolant_port* port) {
  std::shared_ptr<vexolant_port> found;
  {
    const std::lock_guard<std::mutex> guard(g_handlesLock);
    const auto it = g_handles.find(port);
    if (it == g_handles.end()) return;
    found = it->second;
    g_handles.erase(it);
  }
  const std::lock_guard<std::mutex> guard(found->lock);
  if (!found->open) return;
  CloseFpctrl(&found->port);
  found->open = false;
}

int32_t vexolant_check(vexolant_port* port) {
  return WithPort(port, nullptr, nullptr,
                  [](Port* p, int32_t*, int32_t*) { return CheckFprinter(p); });
}

int32_t vexolant_read_status(vexolant_port* port, int32_t* status, int32_t* error) {
  return WithPort(port, status, error,
                  [](Port* p, int32_t* s, int32_t* e) { return ReadFpStatus(p, s, e); });
}

int32_t vexolant_send(vexolant_port* port, const char* text, int32_t* status, int32_t* error) {
  return WithPort(port, status, error,
                  [text](Port* p, int32_t* s, int32_t* e) { return SendCmd(p, s, e, text); });
}

int32_t vexolant_send_file(vexolant_port* port, const char* path, int32_t* status, int32_t* error) {
  return WithPort(port, status, error,
                  [path](Port* p, int32_t* s, int32_t* e) { return SendFileCmd(p, s, e, path); });
}

int32_t vexolant_upload_report(vexolant_port* port, const char* text, const char* output_path,
                               int32_t* status, int32_t* error) {
  return WithPort(port, status, error, [text, output_path](Port* p, int32_t* s, int32_t* e) {
    return UploadReportCmd(p, s, e, text, output_path);
  });
}

int32_t vexolant_upload_status(vexolant_port* port, const char* text, const char* output_path,
                               int32_t* status, int32_t* error) {
  return WithPort(port, status, error, [text, output_path](Port* p, int32_t* s, int32_t* e) {
    return UploadStatusCmd(p, s, e, text, output_path);
  });
}

int32_t vexolant_set_read_end(vexolant_port* port, int32_t mode) {
  if (mode != VEXOLANT_READ_END_GAP && mode != VEXOLANT_READ_END_COMPLETE) return -1;
  const std::shared_ptr<vexolant_port> found = Find(port);
  if (found == nullptr) return -1;
  const std::lock_guard<std::mutex> guard(found->lock);
  if (!found->open) return -1;
  found->port.readEnd = mode == VEXOLANT_READ_END_COMPLETE ? ReadEnd::Complete : ReadEnd::Gap;
  return 0;
}

int32_t vexolant_trace_to_file(const char* path) {
  return TraceToFile(path);
}

void vexolant_trace_to_callback(void (*callback)(const char* line, void* user), void* user) {
  TraceToCallback(callback, user);
}

const char* vexolant_error_text(int32_t code) {
  for (const CodeText& row : kCodeTexts) {
    if (row.code == code) return row.text;
  }
  return "unknown code";
}

const char* vexolant_version(void) {
  return VEXOLANT_VERSION;
}

}  // extern "C"
