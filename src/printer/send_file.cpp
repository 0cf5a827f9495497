#include <string>
#include <string_view>

#include "link/frame.h"
#include "link/outcome.h"
#include "printer/command_file.h"
#include "printer/operations.h"
#include "trace/trace.h"

namespace vexolant {

namespace {

constexpr int32_t kNoCommand = 92;  // the file held no command to send

int32_t Deliver(int32_t* status, int32_t* error, int32_t statusCode, int32_t errorCode,
                int32_t count) {
  *status = statusCode;
  *error = errorCode;
  return count;
}

// Sends each command line of the text until one fails; the count of those
// accepted.
int32_t SendCommandLines(Port* port, int32_t* status, int32_t* error, std::string_view text) {
  CommandReader reader{text};
  std::string line;
  int32_t count = 0;
  while (NextCommandLine(&reader, &line)) {
    // SendCmd takes the text up to a NUL: a line holding one is refused
    // whole, as one holding a framing byte, instead of being sent cut short.
    if (HoldsFramingByte(line.data(), line.size()) != 0) {
      TraceError("Comando con NUL, STX, ETX o ETB", FP_TEXT_ERROR);
      return Deliver(status, error, 0, FP_TEXT_ERROR, count);
    }
    int32_t commandStatus = 0;
    int32_t commandError = 0;
    if (SendCmd(port, &commandStatus, &commandError, line.c_str()) == 0) {
      return Deliver(status, error, commandStatus, commandError, count);
    }
    ++count;
    TraceInt("Enviando comando", count);
  }
  if (count == 0) return Deliver(status, error, 0, kNoCommand, 0);
  return Deliver(status, error, 0, 0, count);
}

}  // namespace

int32_t SendFileCmd(Port* port, int32_t* status, int32_t* error, const char* path) {
  std::string text;
  const CommandFileRead read = ReadCommandFile(path, &text);
  if (read == CommandFileRead::NotOpened) return Deliver(status, error, 0, FP_FILE_ERROR, 0);
  TraceText("** SendFileCmd ** ");
  if (read == CommandFileRead::Unreadable) return Deliver(status, error, 0, FP_FILE_ERROR, 0);
  return SendCommandLines(port, status, error, text);
}

int32_t SendLinesCmd(Port* port, int32_t* status, int32_t* error, std::string_view text) {
  TraceText("** SendLinesCmd ** ");
  return SendCommandLines(port, status, error, text);
}

}  // namespace vexolant
