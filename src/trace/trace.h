// Diagnostic trace: timestamped lines written at the steps and failure points
// of the serial link and the printer operations. Silent unless switched on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vexolant {

// Local calendar time as the trace timestamp shows it.
struct TraceTime {
  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
  int millisecond;
};

// Process-wide switch and sink; both must be set for a line to be written
// (unless a callback takes the lines). Lines are written whole, one at a
// time, from any thread. With TraceEscape set (the sink is stderr, a
// terminal perhaps) the texts and values of a line show every byte outside
// printable ASCII escaped, as all stderr messages do; the line's form stays.
extern FILE* TraceSink;
extern int32_t TraceEnabled;
extern int32_t TraceEscape;

// The four line forms. Every line starts with a line end; none ends with one.
void TraceText(const char* text);
void TraceInt(const char* text, int32_t value);
void TraceStr(const char* text, const char* value);
void TraceError(const char* text, int32_t code);

// "YYYY/MM/DD hh:mm:ss.mmm" of the current local time, in a static buffer that
// every call overwrites.
const char* TraceTimestamp();

// Replaces the clock that the timestamp reads; nullptr restores the local clock.
void TraceUseClock(TraceTime (*clock)());

// Switches the process-wide trace to a file: nullptr or "" off, "-" stderr,
// anything else a file appended to (a regular file or a character device).
// 0, or the OS error of a file that cannot be opened (EINVAL for one of
// another kind); the trace is then off. A file it opened before is closed.
int32_t TraceToFile(const char* target);

// Hands every line to callback (timestamp and text, no line end) instead of
// a file; nullptr switches the trace off.
void TraceToCallback(void (*callback)(const char* line, void* user), void* user);

}  // namespace vexolant
