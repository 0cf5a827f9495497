#include <cerrno>
#include <cstring>

#include "platform/os_error.h"

namespace vexolant {

std::string OsErrorText(int32_t error) {
  return std::strerror(error);
}

int32_t InvalidPortNameError() {
  return EINVAL;
}

int PortBusyError(int32_t error) {
  return error == EBUSY ? 1 : 0;
}

int32_t InvalidArgumentError() {
  return EINVAL;
}

int32_t OutOfMemoryError() {
  return ENOMEM;
}

int32_t InternalFailureError() {
  return EIO;
}

int32_t SelfDeadlockError() {
  return EDEADLK;
}

}  // namespace vexolant
