#include "trace/trace.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

FILE* TraceSink = nullptr;
int32_t TraceEnabled = 0;

namespace {

TraceTime LocalClock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  if (const std::tm* converted = std::localtime(&seconds)) local = *converted;
  return TraceTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,           local.tm_hour,
                   local.tm_min,         local.tm_sec,     static_cast<int>(millis)};
}

TraceTime (*g_clock)() = LocalClock;

bool TraceOn() {
  return TraceEnabled != 0 && TraceSink != nullptr;
}

}  // namespace

const char* TraceTimestamp() {
  static char buffer[64];
  const TraceTime t = g_clock();
  std::snprintf(buffer, sizeof buffer, "%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d.%3.3d", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.millisecond);
  return buffer;
}

void TraceUseClock(TraceTime (*clock)()) {
  g_clock = clock != nullptr ? clock : LocalClock;
}

// The caller's texts are written as data, never used as a format.
void TraceText(const char* text) {
  if (!TraceOn()) return;
  std::fprintf(TraceSink, "\n%s %s", TraceTimestamp(), text);
}

void TraceInt(const char* text, int32_t value) {
  if (!TraceOn()) return;
  std::fprintf(TraceSink, "\n%s %s = %d", TraceTimestamp(), text, static_cast<int>(value));
}

void TraceStr(const char* text, const char* value) {
  if (!TraceOn()) return;
  std::fprintf(TraceSink, "\n%s %s = %s", TraceTimestamp(), text, value);
}

void TraceError(const char* text, int32_t code) {
  if (!TraceOn()) return;
  std::fprintf(TraceSink, "\n%s ERROR: %s [%d]", TraceTimestamp(), text, static_cast<int>(code));
}

int TraceStartFromEnvironment() {
  const char* target = std::getenv("VEXOLANT_TRACE");
  if (target == nullptr || target[0] == '\0') return 1;
  FILE* sink = (target[0] == '-' && target[1] == '\0') ? stderr : std::fopen(target, "a");
  if (sink == nullptr) return 0;
  TraceSink = sink;
  TraceEnabled = 1;
  return 1;
}
