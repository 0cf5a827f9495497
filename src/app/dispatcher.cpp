#include "app/dispatcher.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "api/console.h"
#include "app/environment.h"
#include "app/home.h"
#include "app/port_holder.h"
#include "app/report.h"
#include "platform/escape.h"
#include "platform/os_error.h"
#include "platform/plain_file.h"
#include "vexolant/vexolant.h"

namespace vexolant {

namespace {

constexpr int kExitPortNotOpened = 0;
constexpr int kExitRan = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConsoleFailed = 3;

// How an operation's return value is shown as the return word.
enum class ReturnWord { None, TrueFalse, Count };

struct CommandRow {
  const char* word;
  int (*run)(vexolant_port* port, const char* argument, int32_t* status, int32_t* error);
  ReturnWord form;
};

int RunClose(vexolant_port* port, const char*, int32_t*, int32_t*) {
  vexolant_close(port);
  return 1;
}

// The check delivers no codes: it reports 0 and 0 whatever its outcome.
int RunCheck(vexolant_port* port, const char*, int32_t* status, int32_t* error) {
  const int result = vexolant_check(port);
  *status = 0;
  *error = 0;
  return result;
}

int RunReadStatus(vexolant_port* port, const char*, int32_t* status, int32_t* error) {
  return vexolant_read_status(port, status, error);
}

int RunSend(vexolant_port* port, const char* argument, int32_t* status, int32_t* error) {
  return vexolant_send(port, argument, status, error);
}

int RunSendFile(vexolant_port* port, const char* argument, int32_t* status, int32_t* error) {
  return vexolant_send_file(port, argument, status, error);
}

int RunUploadReport(vexolant_port* port, const char* argument, int32_t* status, int32_t* error) {
  return vexolant_upload_report(port, argument, HomeFile(kReportFileName).c_str(), status, error);
}

int RunUploadStatus(vexolant_port* port, const char* argument, int32_t* status, int32_t* error) {
  return vexolant_upload_status(port, argument, HomeFile(kStatusFileName).c_str(), status, error);
}

// Tested in this order; the words differ, so at most one matches.
constexpr CommandRow kCommands[] = {
    {"CloseFpctrl", RunClose, ReturnWord::None},
    {"CheckFprinter", RunCheck, ReturnWord::TrueFalse},
    {"ReadFpStatus", RunReadStatus, ReturnWord::TrueFalse},
    {"SendCmd", RunSend, ReturnWord::TrueFalse},
    {"SendFileCmd", RunSendFile, ReturnWord::Count},
    {"UploadReportCmd", RunUploadReport, ReturnWord::TrueFalse},
    {"UploadStatusCmd", RunUploadStatus, ReturnWord::TrueFalse},
};

const CommandRow* FindCommand(const std::string& word) {
  const CommandRow* found = nullptr;
  for (const CommandRow& row : kCommands) {
    if (word == row.word) found = &row;
  }
  return found;
}

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: vexolant \"Command(argument)\"\n"
      "\n"
      "Commands:\n"
      "  CheckFprinter              is a printer answering on the port?\n"
      "  ReadFpStatus               read and decode the printer's status\n"
      "  SendCmd(text)              send one printer command\n"
      "  SendFileCmd(path)          send every line of a file as a command\n"
      "  UploadReportCmd(text)      send a command, store the report in Reporte.txt\n"
      "  UploadStatusCmd(text)      send a command, store the reply in Status.txt\n"
      "  CloseFpctrl                open and close the port\n"
      "\n"
      "The port is named by the first line of Puerto.dat in the working directory\n"
      "(VEXOLANT_HOME, default " VEXOLANT_DEFAULT_HOME
      "). The result is printed and\n"
      "written to Status_Error.txt there. VEXOLANT_TRACE=- traces to stderr,\n"
      "VEXOLANT_TRACE=file appends the trace to a file.\n"
      "\n"
      "  -h, --help     show this help\n"
      "      --version  show the version\n",
      out);
}

// True for the reasons of a failed open whose OS error is only a near one
// (a network server's answer, a host name that does not resolve): its text
// would mislead, so the library's text stands in its place.
bool HasNoOsErrorOfItsOwn(int32_t problem) {
  return problem == VEXOLANT_OPEN_SERVER_BUSY || problem == VEXOLANT_OPEN_UNKNOWN_HOST ||
         problem == VEXOLANT_OPEN_OPTION_REFUSED || problem == VEXOLANT_OPEN_OTHER_LINE;
}

// Says why the port did not open: the device, the system's text and the
// library's hint for the reason; for a port that another process or client
// held all along, who held it and how long the run waited.
void ReportOpenFailure(const std::string& name, int32_t error, uint32_t waitMs) {
  const int32_t problem = vexolant_open_error(name.c_str());
  std::string text = OsErrorText(error);
  std::string hint;
  if (HasNoOsErrorOfItsOwn(problem)) {
    text = vexolant_open_error_text(problem);
  } else if (problem != VEXOLANT_OPEN_OTHER && problem != VEXOLANT_OPEN_NONE) {
    hint = vexolant_open_error_text(problem);
  }
  if (problem == VEXOLANT_OPEN_BUSY || problem == VEXOLANT_OPEN_SERVER_BUSY) {
    const std::string holder = problem == VEXOLANT_OPEN_BUSY ? PortHolder(name.c_str()) : "";
    if (!holder.empty()) hint += ": " + holder;
    char waited[64];
    std::snprintf(waited, sizeof waited, "%swaited %.3g s", hint.empty() ? "" : "; ",
                  waitMs / 1000.0);
    hint += waited;
  }
  std::fprintf(stderr, "vexolant: cannot open the port %s: %s%s%s%s\n",
               EscapeForTerminal(DeviceOfPortName(name.c_str())).c_str(), text.c_str(),
               hint.empty() ? "" : " (", hint.c_str(), hint.empty() ? "" : ")");
}

bool IsParen(char c) {
  return c == '(' || c == ')';
}

std::string ReturnWordFor(ReturnWord form, int result) {
  if (form == ReturnWord::Count) return std::to_string(result);
  return result == 1 ? "TRUE" : "FALSE";
}

}  // namespace

Request SplitRequest(const char* text) {
  Request request;
  const char* p = text;
  while (*p != '\0' && IsParen(*p)) ++p;
  const char* start = p;
  while (*p != '\0' && !IsParen(*p)) ++p;
  request.word.assign(start, p);
  if (*p == '\0') return request;
  ++p;
  while (*p != '\0' && IsParen(*p)) ++p;
  start = p;
  while (*p != '\0' && !IsParen(*p)) ++p;
  if (p != start) request.argument.emplace(start, p);
  return request;
}

int ReadPortName(const std::string& path, std::string* name, int* error) {
  name->clear();
  FILE* file = OpenPlainFile(path.c_str(), PlainFileUse::Read, error);
  if (file == nullptr) return 0;
  errno = 0;
  int c = 0;
  while (name->size() <= kLongestPortName && (c = std::fgetc(file)) != EOF && c != '\r' &&
         c != '\n') {
    name->push_back(static_cast<char>(c));
  }
  const bool failed = std::ferror(file) != 0;
  *error = failed ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(file);
  return failed ? 0 : 1;
}

int RunTool(int argc, const char* const* argv, const PortBackend* backend, void* backendState) {
  StartTraceFromEnvironment();
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string arg = argv[1];
  if (arg == "-h" || arg == "--help") {
    PrintUsage(stdout);
    return ConsoleWritten() != 0 ? 0 : kExitConsoleFailed;
  }
  if (arg == "--version") {
    std::printf("vexolant %s (%s)\n", vexolant_version(), VEXOLANT_PLATFORM);
    return ConsoleWritten() != 0 ? 0 : kExitConsoleFailed;
  }
  const Request request = SplitRequest(argv[1]);
  if (request.word.empty()) {
    std::fprintf(stderr, "vexolant: the request \"%s\" holds no command word\n\n",
                 EscapeForTerminal(argv[1]).c_str());
    PrintUsage(stderr);
    return kExitUsage;
  }

  PrepareHomeDirectory();
  const std::string portFile = HomeFile(kPortFileName);
  std::string portName;
  int fileError = 0;
  if (ReadPortName(portFile, &portName, &fileError) == 0) {
    std::fprintf(
        stderr, "vexolant: cannot read the port file %s: %s%s\n",
        EscapeForTerminal(portFile).c_str(), PlainFileErrorText(fileError).c_str(),
        fileError == ENOENT ? " (write the port name, such as ttyS0 or COM1, into it)" : "");
    return kExitPortNotOpened;
  }
  if (portName.empty()) {
    std::fprintf(stderr,
                 "vexolant: the port file %s names no port (write the port name, such as ttyS0 "
                 "or COM1, on its first line)\n",
                 EscapeForTerminal(portFile).c_str());
    return kExitPortNotOpened;
  }
  if (const char* fault = PortNameProblem(portName)) {
    std::fprintf(stderr, "vexolant: cannot open the port named in %s: %s (\"%s\")\n",
                 EscapeForTerminal(portFile).c_str(), fault, EscapeForTerminal(portName).c_str());
    return kExitPortNotOpened;
  }

  vexolant_port* port = nullptr;
  const vexolant_options options = OptionsFromEnvironment();
  const int32_t openError = OpenOnBackend(portName.c_str(), &options, backend, backendState, &port);
  if (openError != 0) {
    ReportOpenFailure(portName, openError, static_cast<uint32_t>(options.busy_wait_ms));
    return kExitPortNotOpened;
  }

  const CommandRow* row = FindCommand(request.word);
  if (row == nullptr) {
    std::fprintf(stderr, "vexolant: unknown command word \"%s\" (see vexolant --help)\n",
                 EscapeForTerminal(request.word).c_str());
    return kExitRan;
  }
  int32_t status = 0;
  int32_t error = 0;
  const char* argument = request.argument ? request.argument->c_str() : nullptr;
  const int result = row->run(port, argument, &status, &error);
  // A tcp:// server tells that it serves another client only at the first
  // exchange; when it kept the run away for the whole busy wait, nothing
  // reached the printer, and the run reports a port that did not open.
  if (vexolant_open_error(portName.c_str()) == VEXOLANT_OPEN_SERVER_BUSY) {
    ReportOpenFailure(portName, vexolant_os_error(port),
                      static_cast<uint32_t>(options.busy_wait_ms));
    return kExitPortNotOpened;
  }
  if (row->form == ReturnWord::None) return kExitRan;
  ReportResult(ReturnWordFor(row->form, result).c_str(), status, error);
  return ConsoleWritten() != 0 ? kExitRan : kExitConsoleFailed;
}

}  // namespace vexolant
