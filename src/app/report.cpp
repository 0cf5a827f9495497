#include "app/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/home.h"
#include "platform/escape.h"
#include "platform/plain_file.h"

namespace vexolant {

namespace {

// The errno of a stdio call that failed; EIO when it left none.
int StdioError() {
  return errno != 0 ? errno : EIO;
}

}  // namespace

int ReportResult(const char* word, const int32_t& status, const int32_t& error) {
  std::printf("Retorno: %s\t", word);
  std::printf("Status: %d\t", static_cast<int>(status));
  std::printf("Error: %d\n", static_cast<int>(error));

  char line[64];
  std::snprintf(line, sizeof line, "%s\t%d\t%d", word, static_cast<int>(status),
                static_cast<int>(error));
  const std::string path = HomeFile(kResultFileName);
  const int failure = WriteWholeFile(path.c_str(), line, std::strlen(line));

  std::printf("\n");
  if (failure == 0) return 1;
  std::fflush(stdout);
  std::fprintf(stderr, "vexolant: cannot write the result file %s: %s\n",
               EscapeForTerminal(path).c_str(), PlainFileErrorText(failure).c_str());
  return 0;
}

int ConsoleWritten() {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && std::ferror(stdout) == 0) return 1;
  // A write that failed before the flush left its errno to later calls.
  const int failure = flushed ? EIO : StdioError();
  std::fprintf(stderr, "vexolant: cannot write the result to standard output: %s\n",
               std::strerror(failure));
  return 0;
}

}  // namespace vexolant
