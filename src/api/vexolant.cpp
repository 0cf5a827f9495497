// The library's C API: handles around ports, each with its own lock, and the
// process-wide switches (the trace). Every operation is the same one the
// console tool runs. No C++ exception leaves an entry point.
#include "vexolant/vexolant.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "api/console.h"
#include "link/outcome.h"
#include "link/port.h"
#include "platform/os_error.h"
#include "printer/operations.h"
#include "trace/trace.h"

struct vexolant_port {
  std::mutex lock;  // one call at a time on this port
  vexolant::Port port;
  bool open = false;
  bool closeAsked = false;  // a close came while an operation held the lock
  int32_t osError = 0;      // behind the last operation's 145, else 0
  std::string name;         // the port name it was opened with
  // The thread whose operation holds the lock: a trace callback on that
  // thread that calls in again gets an answer instead of waiting for itself.
  std::atomic<std::thread::id> owner{};
  // A network port still open when the process ends (the console tool
  // leaves its port to the end) is closed then: its close makes sure the
  // server has the last bytes written, and frees what the backend holds.
  // Other backends are left alone: a caller's backend state may be gone by
  // then, and the system closes a local device.
  ~vexolant_port() {
    if (open && port.backend == vexolant::NetworkPort()) vexolant::PortClose(&port);
  }
};

namespace vexolant {

namespace {

static_assert(static_cast<int32_t>(OpenProblem::None) == VEXOLANT_OPEN_NONE);
static_assert(static_cast<int32_t>(OpenProblem::BadName) == VEXOLANT_OPEN_BAD_NAME);
static_assert(static_cast<int32_t>(OpenProblem::NoDevice) == VEXOLANT_OPEN_NO_DEVICE);
static_assert(static_cast<int32_t>(OpenProblem::Permission) == VEXOLANT_OPEN_PERMISSION);
static_assert(static_cast<int32_t>(OpenProblem::Busy) == VEXOLANT_OPEN_BUSY);
static_assert(static_cast<int32_t>(OpenProblem::ServerBusy) == VEXOLANT_OPEN_SERVER_BUSY);
static_assert(static_cast<int32_t>(OpenProblem::UnknownHost) == VEXOLANT_OPEN_UNKNOWN_HOST);
static_assert(static_cast<int32_t>(OpenProblem::Unreachable) == VEXOLANT_OPEN_UNREACHABLE);
static_assert(static_cast<int32_t>(OpenProblem::Refused) == VEXOLANT_OPEN_REFUSED);
static_assert(static_cast<int32_t>(OpenProblem::TimedOut) == VEXOLANT_OPEN_TIMED_OUT);
static_assert(static_cast<int32_t>(OpenProblem::OptionRefused) == VEXOLANT_OPEN_OPTION_REFUSED);
static_assert(static_cast<int32_t>(OpenProblem::OtherLine) == VEXOLANT_OPEN_OTHER_LINE);
static_assert(static_cast<int32_t>(OpenProblem::Other) == VEXOLANT_OPEN_OTHER);
static_assert(kLastOpenProblem == VEXOLANT_OPEN_OTHER);

constexpr int32_t kDefaultBusyWaitMs = 30000;
constexpr int32_t kDefaultConnectTimeoutMs = 5000;
constexpr int32_t kDefaultNegotiationTimeoutMs = 3000;

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

// Why the last open of each port name failed, for the names whose opens
// failed last; an open that succeeds takes its name out. The bound keeps a
// caller that tries ever new names from growing the table without end.
constexpr size_t kOpenProblemNames = 64;
struct FailedOpen {
  uint64_t order = 0;
  OpenProblem problem = OpenProblem::None;
};
std::mutex g_openProblemsLock;
std::map<std::string, FailedOpen, std::less<>> g_openProblems;
uint64_t g_lastFailedOpen = 0;

void RecordOpen(std::string_view name, OpenProblem problem) noexcept {
  try {
    const std::lock_guard<std::mutex> guard(g_openProblemsLock);
    if (problem == OpenProblem::None) {
      const auto it = g_openProblems.find(name);
      if (it != g_openProblems.end()) g_openProblems.erase(it);
      return;
    }
    FailedOpen& entry = g_openProblems[std::string(name)];
    entry.order = ++g_lastFailedOpen;
    entry.problem = problem;
    if (g_openProblems.size() <= kOpenProblemNames) return;
    auto oldest = g_openProblems.begin();
    for (auto it = g_openProblems.begin(); it != g_openProblems.end(); ++it) {
      if (it->second.order < oldest->second.order) oldest = it;
    }
    g_openProblems.erase(oldest);
  } catch (...) {
    // Memory exhausted: the reason is not kept, the open's result stands.
  }
}

// The codes of an operation that never ran: the handle is not open.
int32_t NotOpen(int32_t* status, int32_t* error) {
  if (status != nullptr) *status = 0;
  if (error != nullptr) *error = FP_PORT_ERROR;
  return 0;
}

// The OS error behind a failure that came from inside the library rather
// than from the port: memory exhausted, or anything else thrown.
int32_t ErrorOfException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return OutOfMemoryError();
  } catch (...) {
    return InternalFailureError();
  }
}

// Traces a failure thrown inside the library; tracing may itself fail.
void TraceException(int32_t osError) noexcept {
  try {
    TraceError("Excepcion interna", osError);
  } catch (...) {
  }
}

bool IsOwnedByThisThread(const vexolant_port& handle) {
  return handle.owner.load() == std::this_thread::get_id();
}

// Marks the lock of the handle as held by this thread for as long as it lives.
class Owned {
 public:
  explicit Owned(vexolant_port* handle) : handle_(handle) {
    handle_->owner.store(std::this_thread::get_id());
  }
  ~Owned() { handle_->owner.store(std::thread::id()); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

 private:
  vexolant_port* handle_;
};

void CloseLocked(vexolant_port* handle) {
  if (!handle->open) return;
  CloseFpctrl(&handle->port);
  handle->open = false;
}

// Runs an operation on a live, open handle with its lock held; out-pointers
// that are NULL receive into local codes. The OS error behind a 145 is kept
// for vexolant_os_error. A failure thrown inside the operation ends it with
// 145 and a trace line.
template <typename Operation>
int32_t WithPort(vexolant_port* port, int32_t* status, int32_t* error, Operation operation) {
  int32_t localStatus = 0;
  int32_t localError = 0;
  if (status == nullptr) status = &localStatus;
  if (error == nullptr) error = &localError;
  try {
    const std::shared_ptr<vexolant_port> found = Find(port);
    if (found == nullptr) return NotOpen(status, error);
    if (IsOwnedByThisThread(*found)) {
      // Called from a trace callback of this handle's own operation.
      found->osError = SelfDeadlockError();
      return NotOpen(status, error);
    }
    const std::lock_guard<std::mutex> guard(found->lock);
    if (!found->open) return NotOpen(status, error);
    int32_t result = 0;
    {
      const Owned owned(found.get());
      found->port.lastError = 0;
      found->port.openProblem = OpenProblem::None;
      try {
        result = operation(&found->port, status, error);
        // A tcp:// server that turned the client away at its first exchange
        // for longer than the busy wait: the name's reason, as for an open.
        if (found->port.openProblem != OpenProblem::None) {
          RecordOpen(found->name, found->port.openProblem);
        }
        found->osError = *error == FP_PORT_ERROR ? found->port.lastError : 0;
        if (found->osError == 0 && *error == FP_PORT_ERROR) found->osError = InternalFailureError();
      } catch (...) {
        found->osError = ErrorOfException();
        TraceException(found->osError);
        result = NotOpen(status, error);
      }
    }
    if (found->closeAsked) CloseLocked(found.get());
    return result;
  } catch (...) {
    TraceException(ErrorOfException());
    return NotOpen(status, error);
  }
}

// The options as the caller gave them: the fields within options->size, the
// defaults for the rest. False when a field is out of range.
bool TakeOptions(const vexolant_options* given, vexolant_options* options) {
  vexolant_options_init(options);
  if (given == nullptr) return true;
  if (given->size < offsetof(vexolant_options, upload_limit_bytes)) return false;
  const auto has = [given](size_t offset, size_t size) { return given->size >= offset + size; };
#define VEXOLANT_TAKE(field)                                                     \
  if (has(offsetof(vexolant_options, field), sizeof(vexolant_options::field))) { \
    options->field = given->field;                                               \
  }
  VEXOLANT_TAKE(read_end)
  VEXOLANT_TAKE(upload_limit_bytes)
  VEXOLANT_TAKE(busy_wait_ms)
  VEXOLANT_TAKE(connect_timeout_ms)
  VEXOLANT_TAKE(negotiation_timeout_ms)
#undef VEXOLANT_TAKE
  return (options->read_end == VEXOLANT_READ_END_GAP ||
          options->read_end == VEXOLANT_READ_END_COMPLETE) &&
         options->upload_limit_bytes >= 1 && options->busy_wait_ms >= 0 &&
         options->connect_timeout_ms >= 1 && options->negotiation_timeout_ms >= 1;
}

void ApplyOptions(const vexolant_options& options, Port* port) {
  port->readEnd = options.read_end == VEXOLANT_READ_END_COMPLETE ? ReadEnd::Complete : ReadEnd::Gap;
  port->uploadLimitBytes = static_cast<uint64_t>(options.upload_limit_bytes);
  port->busyWaitMs = static_cast<uint32_t>(options.busy_wait_ms);
  port->connectTimeoutMs = static_cast<uint32_t>(options.connect_timeout_ms);
  port->negotiationTimeoutMs = static_cast<uint32_t>(options.negotiation_timeout_ms);
}

int32_t OpenHandle(const char* portName, const vexolant_options* given, const PortBackend* backend,
                   void* backendState, vexolant_port** port) {
  if (port == nullptr) return -1;
  *port = nullptr;
  try {
    vexolant_options options;
    if (!TakeOptions(given, &options)) return InvalidArgumentError();
    const int32_t invalid = PortNameError(portName);
    if (invalid != 0) {
      if (portName != nullptr) RecordOpen(portName, OpenProblem::BadName);
      return invalid;
    }
    auto handle = std::make_shared<vexolant_port>();
    handle->port.backend = backend;
    handle->port.state = backendState;
    ApplyOptions(options, &handle->port);
    int32_t error = 0;
    if (OpenFpctrl(&handle->port, portName, &error) != 1) {
      const OpenProblem problem = handle->port.openProblem;
      RecordOpen(portName, problem != OpenProblem::None ? problem : OpenProblem::Other);
      return error != 0 ? error : InternalFailureError();
    }
    RecordOpen(portName, OpenProblem::None);
    handle->name = portName;
    handle->open = true;
    const std::lock_guard<std::mutex> guard(g_handlesLock);
    vexolant_port* const value = NewHandleValue();
    g_handles[value] = handle;
    *port = value;
    return 0;
  } catch (...) {
    const int32_t error = ErrorOfException();
    TraceException(error);
    if (portName != nullptr) RecordOpen(portName, OpenProblem::Other);
    return error;
  }
}

struct CodeText {
  int32_t code;
  const char* text;
};

// The link's codes, then the printer's decoded error codes.
constexpr CodeText kCodeTexts[] = {
    {0, "no error"},
    {VEXOLANT_ERR_PORT, "the port failed (purge, write or read), or it is not open"},
    {VEXOLANT_ERR_ANSWER, "the printer's answer was invalid or unexpected"},
    {VEXOLANT_ERR_NO_ANSWER, "the printer did not answer"},
    {VEXOLANT_ERR_NAK, "the printer answered NAK"},
    {VEXOLANT_ERR_FILE, "a file could not be opened, read or written"},
    {VEXOLANT_ERR_FRAMING, "the command text holds STX, ETX or ETB and was not sent"},
    {VEXOLANT_ERR_UPLOAD_LIMIT, "the upload went on past its size bound"},
    {VEXOLANT_ERR_NO_COMMAND,
     "the command file held no command, or the printer's error 92 (command refused)"},
    {VEXOLANT_PRINTER_ERR_ACCEPTED_1, "the printer's error 1 (command accepted)"},
    {VEXOLANT_PRINTER_ERR_ACCEPTED_2, "the printer's error 2 (command accepted)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_3, "the printer's error 3 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_80, "the printer's error 80 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_84, "the printer's error 84 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_88, "the printer's error 88 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_96, "the printer's error 96 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_100, "the printer's error 100 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_108, "the printer's error 108 (command refused)"},
    {VEXOLANT_PRINTER_ERR_STATUS_FAULT, "the printer's status reports an error (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_225, "the printer's error 225 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_226, "the printer's error 226 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_227, "the printer's error 227 (command refused)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_228, "the printer's error 228 (command refused)"},
    {VEXOLANT_PRINTER_ERR_ACCEPTED_232, "the printer's error 232 (command accepted)"},
    {VEXOLANT_PRINTER_ERR_REFUSED_233, "the printer's error 233 (command refused)"},
};

}  // namespace

int32_t OpenOnBackend(const char* portName, const vexolant_options* options,
                      const PortBackend* backend, void* backendState, vexolant_port** port) {
  return OpenHandle(portName, options, backend, backendState, port);
}

}  // namespace vexolant

using namespace vexolant;

extern "C" {

void vexolant_options_init(vexolant_options* options) {
  if (options == nullptr) return;
  *options = vexolant_options{};
  options->size = sizeof(vexolant_options);
  options->read_end = VEXOLANT_READ_END_GAP;
  options->upload_limit_bytes = static_cast<int64_t>(kDefaultUploadLimitBytes);
  options->busy_wait_ms = kDefaultBusyWaitMs;
  options->connect_timeout_ms = kDefaultConnectTimeoutMs;
  options->negotiation_timeout_ms = kDefaultNegotiationTimeoutMs;
}

int32_t vexolant_open_with(const char* port_name, const vexolant_options* options,
                           vexolant_port** port) {
  return OpenHandle(port_name, options, nullptr, nullptr, port);
}

int32_t vexolant_open(const char* port_name, vexolant_port** port) {
  return OpenHandle(port_name, nullptr, nullptr, nullptr, port);
}

int32_t vexolant_open_wait(const char* port_name, int32_t wait_ms, vexolant_port** port) {
  vexolant_options options;
  vexolant_options_init(&options);
  options.busy_wait_ms = wait_ms > 0 ? wait_ms : 0;
  return OpenHandle(port_name, &options, nullptr, nullptr, port);
}

void vexolant_close(vexolant_port* port) {
  try {
    std::shared_ptr<vexolant_port> found;
    {
      const std::lock_guard<std::mutex> guard(g_handlesLock);
      const auto it = g_handles.find(port);
      if (it == g_handles.end()) return;
      found = it->second;
      g_handles.erase(it);
    }
    if (IsOwnedByThisThread(*found)) {
      // A trace callback of the handle's own operation: the operation closes
      // the port when it returns.
      found->closeAsked = true;
      return;
    }
    const std::lock_guard<std::mutex> guard(found->lock);
    CloseLocked(found.get());
  } catch (...) {
    TraceException(ErrorOfException());
  }
}

int32_t vexolant_os_error(const vexolant_port* port) {
  try {
    const std::shared_ptr<vexolant_port> found = Find(port);
    return found == nullptr ? 0 : found->osError;
  } catch (...) {
    return 0;
  }
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

int32_t vexolant_send_lines(vexolant_port* port, const char* bytes, size_t length, int32_t* status,
                            int32_t* error) {
  const std::string_view text =
      bytes != nullptr ? std::string_view(bytes, length) : std::string_view();
  return WithPort(port, status, error,
                  [text](Port* p, int32_t* s, int32_t* e) { return SendLinesCmd(p, s, e, text); });
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
  try {
    const std::shared_ptr<vexolant_port> found = Find(port);
    if (found == nullptr || IsOwnedByThisThread(*found)) return -1;
    const std::lock_guard<std::mutex> guard(found->lock);
    if (!found->open) return -1;
    found->port.readEnd = mode == VEXOLANT_READ_END_COMPLETE ? ReadEnd::Complete : ReadEnd::Gap;
    return 0;
  } catch (...) {
    TraceException(ErrorOfException());
    return -1;
  }
}

int32_t vexolant_trace_to_file(const char* path) {
  try {
    return TraceToFile(path);
  } catch (...) {
    return ErrorOfException();
  }
}

void vexolant_trace_to_callback(void (*callback)(const char* line, void* user), void* user) {
  try {
    TraceToCallback(callback, user);
  } catch (...) {
  }
}

const char* vexolant_error_text(int32_t code) {
  for (const CodeText& row : kCodeTexts) {
    if (row.code == code) return row.text;
  }
  return "unknown code";
}

int32_t vexolant_open_error(const char* port_name) {
  if (port_name == nullptr) return VEXOLANT_OPEN_BAD_NAME;
  try {
    const std::lock_guard<std::mutex> guard(g_openProblemsLock);
    const auto it = g_openProblems.find(std::string_view(port_name));
    return static_cast<int32_t>(it == g_openProblems.end() ? OpenProblem::None
                                                           : it->second.problem);
  } catch (...) {
    return VEXOLANT_OPEN_OTHER;
  }
}

const char* vexolant_open_error_text(int32_t code) {
  return OpenProblemText(static_cast<OpenProblem>(code));
}

const char* vexolant_open_error_name(int32_t code) {
  return OpenProblemName(static_cast<OpenProblem>(code));
}

const char* vexolant_port_name_problem(const char* port_name) {
  return PortNameFault(port_name != nullptr ? std::string_view(port_name) : std::string_view());
}

const char* vexolant_version(void) {
  return VEXOLANT_VERSION_STRING;
}

}  // extern "C"
