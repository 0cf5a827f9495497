#include "trace/trace.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/escape.h"
#include "platform/plain_file.h"

namespace vexolant {

FILE* TraceSink = nullptr;
int32_t TraceEnabled = 0;
int32_t TraceEscape = 0;

namespace {

TraceTime LocalClock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  return TraceTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,           local.tm_hour,
                   local.tm_min,         local.tm_sec,     static_cast<int>(millis)};
}

TraceTime (*g_clock)() = LocalClock;

// One line at a time, whoever writes it: threads that share the trace never
// interleave their lines.
std::mutex g_lock;
void (*g_callback)(const char* line, void* user) = nullptr;
void* g_callbackUser = nullptr;
FILE* g_ownFile = nullptr;  // a file the trace opened, closed when switched

void FormatTimestamp(char* buffer, size_t size) {
  const TraceTime t = g_clock();
  std::snprintf(buffer, size, "%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d.%3.3d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
}

// A caller's text as the line shows it: as it is, or escaped for a terminal.
std::string Shown(const char* text) {
  return TraceEscape != 0 ? EscapeForTerminal(text) : std::string(text);
}

// Writes "\n<timestamp> " and the rest as one line: to the callback without
// the leading line end, else to the sink under the lock, so that lines of
// several threads never interleave. The callback is called with no lock
// held, so that it may call back into the library, switch the trace or take
// its time. The rest is built by the caller from the line's parts, never
// used as a format.
template <typename Rest>
void Emit(Rest rest) {
  void (*callback)(const char* line, void* user) = nullptr;
  void* user = nullptr;
  std::string line;
  {
    const std::lock_guard<std::mutex> guard(g_lock);
    callback = g_callback;
    user = g_callbackUser;
    if (callback == nullptr && (TraceEnabled == 0 || TraceSink == nullptr)) return;
    char stamp[64];
    FormatTimestamp(stamp, sizeof stamp);
    line.push_back('\n');
    line += stamp;
    line += ' ';
    rest(&line);
    if (callback == nullptr) {
      std::fwrite(line.data(), 1, line.size(), TraceSink);
      return;
    }
  }
  callback(line.c_str() + 1, user);
}

void SwitchOff() {
  TraceEnabled = 0;
  TraceEscape = 0;
  TraceSink = nullptr;
  g_callback = nullptr;
  g_callbackUser = nullptr;
  if (g_ownFile != nullptr) std::fclose(g_ownFile);
  g_ownFile = nullptr;
}

// The file a trace target names: stderr for "-", else an appended file.
FILE* OpenTarget(const char* target, int* error) {
  *error = 0;
  if (target[0] == '-' && target[1] == '\0') return stderr;
  return OpenPlainFile(target, PlainFileUse::Append, error);
}

}  // namespace

const char* TraceTimestamp() {
  static thread_local char buffer[64];
  FormatTimestamp(buffer, sizeof buffer);
  return buffer;
}

void TraceUseClock(TraceTime (*clock)()) {
  g_clock = clock != nullptr ? clock : LocalClock;
}

void TraceText(const char* text) {
  Emit([text](std::string* line) { *line += Shown(text); });
}

void TraceInt(const char* text, int32_t value) {
  Emit([text, value](std::string* line) {
    *line += Shown(text);
    *line += " = ";
    *line += std::to_string(value);
  });
}

void TraceStr(const char* text, const char* value) {
  Emit([text, value](std::string* line) {
    *line += Shown(text);
    *line += " = ";
    *line += Shown(value);
  });
}

void TraceError(const char* text, int32_t code) {
  Emit([text, code](std::string* line) {
    *line += "ERROR: ";
    *line += Shown(text);
    *line += " [";
    *line += std::to_string(code);
    *line += ']';
  });
}

int32_t TraceToFile(const char* target) {
  int openError = 0;
  FILE* sink = target != nullptr && target[0] != '\0' ? OpenTarget(target, &openError) : nullptr;
  const std::lock_guard<std::mutex> guard(g_lock);
  if (TraceSink != nullptr) std::fflush(TraceSink);
  SwitchOff();
  if (sink == nullptr) return openError == kNotPlainFile ? EINVAL : openError;
  if (sink != stderr) g_ownFile = sink;
  TraceSink = sink;
  TraceEnabled = 1;
  TraceEscape = sink == stderr ? 1 : 0;
  return 0;
}

void TraceToCallback(void (*callback)(const char* line, void* user), void* user) {
  const std::lock_guard<std::mutex> guard(g_lock);
  SwitchOff();
  g_callback = callback;
  g_callbackUser = user;
}

}  // namespace vexolant
