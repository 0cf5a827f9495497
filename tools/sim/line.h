// The printer's end of the line: a pseudo-terminal pair in raw mode, and the
// timestamped log of everything that passes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vexolant::sim {

struct Line {
  int master = -1;   // the printer's end
  int slave = -1;    // held open so that the tool's runs come and go freely
  std::string path;  // the device the tool opens
};

// Opens the pair; on failure returns false with the reason in *error.
bool OpenLine(Line* line, std::string* error);
// Closes the held slave; the master then sees a hang-up once the tool has
// closed its end too.
void ReleaseSlave(Line& line);
// Closes both ends: the tool's reads and writes fail from then on.
void CloseLine(Line& line);
// A program may mark the device for exclusive use (TIOCEXCL). On a
// pseudo-terminal that mark outlives the program's run (the pair stays open)
// and keeps the next run out unless it runs as root; the printer lifts it
// whenever a request arrives.
void LiftExclusive(const Line& line);
// Writes all bytes to the master, waiting up to a second for room.
bool WriteAll(const Line& line, const uint8_t* bytes, size_t count);

struct Log {
  FILE* file = stderr;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

// One line: milliseconds since start with three decimals (microseconds), the
// kind (recv, send, note), the text. Flushed at once.
void LogLine(const Log& log, const char* kind, const std::string& text);

}  // namespace vexolant::sim
