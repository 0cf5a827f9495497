#include "api/console.h"

#include "link/port.h"

namespace vexolant {

static_assert(kLongestPortName == kMaxPortName);

const char* PortNameProblem(std::string_view name) {
  return PortNameFault(name);
}

std::string DeviceOfPortName(const char* name) {
  return PortDevicePath(name);
}

}  // namespace vexolant
