// The operating system's own error numbers and texts, as the library, the
// console tool and the service show and use them: errno values on POSIX,
// GetLastError values on Windows.
#pragma once

#include <cstdint>
#include <string>

namespace vexolant {

// The operating system's own text for an error number.
std::string OsErrorText(int32_t error);
// Nonzero for the OS error of a port that another process holds.
int PortBusyError(int32_t error);
// The OS error of a port name that is refused before any open: EINVAL, or
// ERROR_INVALID_NAME on Windows.
int32_t InvalidPortNameError();
// Arguments out of range: EINVAL, or ERROR_INVALID_PARAMETER.
int32_t InvalidArgumentError();
// Memory exhausted: ENOMEM, or ERROR_NOT_ENOUGH_MEMORY.
int32_t OutOfMemoryError();
// A failure inside the library that has no OS error of its own: EIO, or
// ERROR_GEN_FAILURE.
int32_t InternalFailureError();
// A call that would wait for itself: EDEADLK, or ERROR_POSSIBLE_DEADLOCK.
int32_t SelfDeadlockError();

}  // namespace vexolant
