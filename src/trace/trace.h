// Diagnostic trace: timestamped lines written at the steps and failure points
// of the serial link and the printer operations. Silent unless switched on.
#pragma once

#include <cstdint>
#include <cstdio>

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

// Process-wide switch and sink; both must be set for a line to be written.
extern FILE* TraceSink;
extern int32_t TraceEnabled;

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

// Switches the trace on from VEXOLANT_TRACE: unset or empty keeps it silent,
// "-" sends it to stderr, anything else names a file that is appended to.
// Returns 0 when the named file cannot be opened (the trace then stays off).
int TraceStartFromEnvironment();
