#include "app/port_holder.h"

namespace vexolant {

// Windows cannot tell cheaply which process holds a COM port.
std::string PortHolder(const char*) {
  return "";
}

}  // namespace vexolant
