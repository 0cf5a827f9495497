#include <cstdio>

#include "link/outcome.h"
#include "printer/operations.h"
#include "trace/trace.h"

namespace {

constexpr uint32_t kLinePiece = 4096;  // longest piece of a line sent as one command
constexpr int kEndOfText = 0x1A;       // ends the text of a command file
constexpr int32_t kNoCommand = 92;     // the file held no command to send

enum class LineRead { Line, End, Failed };

// Next byte of the command text, read the same way on every platform: a CR LF
// pair reads as LF, and 0x1A ends the text for good (later reads find the end
// of the file too, wherever in a line the 0x1A stood).
int NextTextByte(FILE* file) {
  const int c = std::fgetc(file);
  if (c == kEndOfText) {
    std::fseek(file, 0, SEEK_END);
    return EOF;
  }
  if (c != '\r') return c;
  const int next = std::fgetc(file);
  if (next == '\n') return next;
  if (next != EOF) std::ungetc(next, file);
  return c;
}

// Reads the next line with its LF, or the next kLinePiece bytes of a longer
// line, into line (kLinePiece + 1 bytes, NUL-terminated).
LineRead ReadCommandLine(FILE* file, char* line) {
  uint32_t length = 0;
  int c = 0;
  while (length < kLinePiece && (c = NextTextByte(file)) != EOF) {
    line[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[length] = '\0';
  if (std::ferror(file) != 0) return LineRead::Failed;
  return length == 0 ? LineRead::End : LineRead::Line;
}

// Lines that start with a control byte (below a space) carry no command.
bool IsCommandLine(const char* line) {
  return static_cast<unsigned char>(line[0]) >= 0x20;
}

int32_t Deliver(int32_t* status, int32_t* error, int32_t statusCode, int32_t errorCode,
                int32_t count) {
  *status = statusCode;
  *error = errorCode;
  return count;
}

}  // namespace

int32_t SendFileCmd(int32_t* status, int32_t* error, const char* path) {
  FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) return Deliver(status, error, 0, FP_FILE_ERROR, 0);
  TraceText("** SendFileCmd ** ");
  char line[kLinePiece + 1];
  int32_t count = 0;
  LineRead read = LineRead::Line;
  while ((read = ReadCommandLine(file, line)) == LineRead::Line) {
    if (!IsCommandLine(line)) continue;
    int32_t commandStatus = 0;
    int32_t commandError = 0;
    if (SendCmd(&commandStatus, &commandError, line) == 0) {
      std::fclose(file);
      return Deliver(status, error, commandStatus, commandError, count);
    }
    ++count;
    TraceInt("Enviando comando", count);
  }
  std::fclose(file);
  if (read == LineRead::Failed) return Deliver(status, error, 0, FP_FILE_ERROR, count);
  if (count == 0) return Deliver(status, error, 0, kNoCommand, 0);
  return Deliver(status, error, 0, 0, count);
}
