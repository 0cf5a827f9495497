// Result reporting: the result triple on stdout and in Status_Error.txt.
#pragma once

#include <cstdint>

namespace vexolant {

// Prints "Retorno: word\tStatus: s\tError: e\n", rewrites the result file with
// "word\ts\te" (no line end), then prints the empty line. Returns 1 when the
// result file was written; otherwise says why on stderr and returns 0.
int ReportResult(const char* word, const int32_t& status, const int32_t& error);

// Flushes stdout. Returns 1 when everything printed there was written;
// otherwise says why on stderr and returns 0.
int ConsoleWritten();

}  // namespace vexolant
