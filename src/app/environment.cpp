#include "app/environment.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/escape.h"
#include "platform/plain_file.h"

namespace vexolant {

namespace {

// The longest wait a variable can ask for: a day.
constexpr double kLongestSeconds = 24.0 * 3600.0;

// A variable that holds seconds (fractions allowed) in milliseconds, or
// fallback when it is unset, empty or not a number from 0 up.
int32_t MillisecondsFrom(const char* name, int32_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || text[0] == '\0') return fallback;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(seconds >= 0.0)) return fallback;
  // Rounded to the millisecond without the maths library, which the console
  // tool then need not load.
  const double capped = seconds < kLongestSeconds ? seconds : kLongestSeconds;
  return static_cast<int32_t>(capped * 1000.0 + 0.5);
}

// A time-out that must be at least 1 ms.
int32_t TimeoutFrom(const char* name, int32_t fallback) {
  const int32_t ms = MillisecondsFrom(name, fallback);
  return ms >= 1 ? ms : fallback;
}

// A count of bytes from 1 up, or fallback.
int64_t BytesFrom(const char* name, int64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || text[0] == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long long bytes = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || bytes < 1) return fallback;
  return bytes;
}

}  // namespace

vexolant_options OptionsFromEnvironment() {
  vexolant_options options;
  vexolant_options_init(&options);
  options.busy_wait_ms = MillisecondsFrom("VEXOLANT_PORT_WAIT", options.busy_wait_ms);
  const char* readEnd = std::getenv("VEXOLANT_READ_END");
  if (readEnd != nullptr && std::strcmp(readEnd, "complete") == 0) {
    options.read_end = VEXOLANT_READ_END_COMPLETE;
  }
  options.upload_limit_bytes = BytesFrom("VEXOLANT_UPLOAD_LIMIT", options.upload_limit_bytes);
  options.connect_timeout_ms = TimeoutFrom("VEXOLANT_CONNECT_TIMEOUT", options.connect_timeout_ms);
  options.negotiation_timeout_ms =
      TimeoutFrom("VEXOLANT_NEGOTIATION_TIMEOUT", options.negotiation_timeout_ms);
  return options;
}

void StartTraceFromEnvironment() {
  const char* target = std::getenv("VEXOLANT_TRACE");
  if (target == nullptr || target[0] == '\0') return;
  const int32_t error = vexolant_trace_to_file(target);
  if (error == 0) return;
  // The library refuses what is neither a regular file nor a character
  // device with EINVAL.
  std::fprintf(stderr, "vexolant: cannot open the trace file %s: %s (tracing is off)\n",
               EscapeForTerminal(target).c_str(),
               PlainFileErrorText(error == EINVAL ? kNotPlainFile : error).c_str());
}

}  // namespace vexolant
