// Waiting under a deadline of the steady clock on Windows, whose waits take
// whole milliseconds.
#pragma once

#include <cstdint>

namespace vexolant {

// The wait in milliseconds for left ns: rounded up so that the wait never
// ends before the deadline, at least 1 (0 would not wait at all), at most an
// hour (a longer wait is simply taken again).
inline uint32_t WaitMs(int64_t leftNs) {
  constexpr int64_t kMsNs = 1000000;
  constexpr int64_t kLongestWaitMs = int64_t{3600} * 1000;
  const int64_t ms = (leftNs + kMsNs - 1) / kMsNs;
  if (ms < 1) return 1;
  return ms > kLongestWaitMs ? static_cast<uint32_t>(kLongestWaitMs) : static_cast<uint32_t>(ms);
}

}  // namespace vexolant
