// Waiting on a descriptor (a serial device or a socket) under a deadline of
// the steady clock, on POSIX systems.
#pragma once

#include <cstdint>

namespace vexolant {

// Waits until fd is ready for events or deadlineNs (of the steady clock)
// passes. Returns the revents (0 on time-out) or -1 with errno set. The wait
// is given to the kernel to the nanosecond, so it never ends early and is not
// rounded up to whole milliseconds. Linux lets a poll end up to 0.1 % of its
// time-out late (9 ms on a silent 9-byte read), so each wait asks for that
// much less, and the short rest that remains is waited for once more.
int WaitForDescriptor(int fd, short events, int64_t deadlineNs);

}  // namespace vexolant
