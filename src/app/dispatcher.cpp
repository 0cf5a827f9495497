#include "app/dispatcher.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/home.h"
#include "app/report.h"
#include "link/port.h"
#include "printer/operations.h"
#include "trace/trace.h"

namespace {

constexpr int kExitPortNotOpened = 0;
constexpr int kExitRan = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMaxPortName = 255;

// How an operation's return value is shown as the return word.
enum class ReturnWord { None, TrueFalse, Count };

struct CommandRow {
  const char* word;
  int (*run)(const char* argument, int32_t* status, int32_t* error);
  ReturnWord form;
};

int RunClose(const char*, int32_t*, int32_t*) {
  return CloseFpctrl();
}

// The check delivers no codes: it reports 0 and 0 whatever its outcome.
int RunCheck(const char*, int32_t* status, int32_t* error) {
  const int result = CheckFprinter();
  *status = 0;
  *error = 0;
  return result;
}

int RunReadStatus(const char*, int32_t* status, int32_t* error) {
  return ReadFpStatus(status, error);
}

int RunSend(const char* argument, int32_t* status, int32_t* error) {
  return SendCmd(status, error, argument);
}

int RunSendFile(const char* argument, int32_t* status, int32_t* error) {
  return SendFileCmd(status, error, argument);
}

int RunUploadReport(const char* argument, int32_t* status, int32_t* error) {
  return UploadReportCmd(status, error, argument, HomeFile(kReportFileName).c_str());
}

int RunUploadStatus(const char* argument, int32_t* status, int32_t* error) {
  return UploadStatusCmd(status, error, argument, HomeFile(kStatusFileName).c_str());
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
  errno = 0;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = errno != 0 ? errno : ENOENT;
    return 0;
  }
  int c = 0;
  while (name->size() < kMaxPortName && (c = std::fgetc(file)) != EOF && c != '\r' && c != '\n') {
    name->push_back(static_cast<char>(c));
  }
  const bool failed = std::ferror(file) != 0;
  *error = failed ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(file);
  return failed ? 0 : 1;
}

int RunTool(int argc, const char* const* argv) {
  if (TraceStartFromEnvironment() == 0) {
    std::fprintf(stderr, "vexolant: cannot open the trace file %s: %s (tracing is off)\n",
                 std::getenv("VEXOLANT_TRACE"), std::strerror(errno));
  }
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string arg = argv[1];
  if (arg == "-h" || arg == "--help") {
    PrintUsage(stdout);
    return 0;
  }
  if (arg == "--version") {
    std::printf("vexolant %s\n", VEXOLANT_VERSION);
    return 0;
  }
  const Request request = SplitRequest(argv[1]);
  if (request.word.empty()) {
    std::fprintf(stderr, "vexolant: the request \"%s\" holds no command word\n\n", argv[1]);
    PrintUsage(stderr);
    return kExitUsage;
  }

  PrepareHomeDirectory();
  const std::string portFile = HomeFile(kPortFileName);
  std::string portName;
  int fileError = 0;
  if (ReadPortName(portFile, &portName, &fileError) == 0) {
    std::fprintf(
        stderr, "vexolant: cannot read the port file %s: %s%s\n", portFile.c_str(),
        std::strerror(fileError),
        fileError == ENOENT ? " (write the port name, such as ttyS0 or COM1, into it)" : "");
    return kExitPortNotOpened;
  }
  if (portName.empty()) {
    std::fprintf(stderr,
                 "vexolant: the port file %s names no port (write the port name, such as ttyS0 "
                 "or COM1, on its first line)\n",
                 portFile.c_str());
    return kExitPortNotOpened;
  }

  int32_t openError = 0;
  if (OpenFpctrl(portName.c_str(), &openError) != 1) {
    const char* hint = PortOpenHint(openError);
    std::fprintf(stderr, "vexolant: cannot open the port %s: %s%s%s%s\n",
                 PortDevicePath(portName.c_str()).c_str(), OsErrorText(openError).c_str(),
                 hint[0] != '\0' ? " (" : "", hint, hint[0] != '\0' ? ")" : "");
    return kExitPortNotOpened;
  }

  const CommandRow* row = FindCommand(request.word);
  if (row == nullptr) {
    std::fprintf(stderr, "vexolant: unknown command word \"%s\" (see vexolant --help)\n",
                 request.word.c_str());
    return kExitRan;
  }
  int32_t status = 0;
  int32_t error = 0;
  const char* argument = request.argument ? request.argument->c_str() : nullptr;
  const int result = row->run(argument, &status, &error);
  if (row->form != ReturnWord::None) {
    ReportResult(ReturnWordFor(row->form, result).c_str(), status, error);
  }
  return kExitRan;
}
