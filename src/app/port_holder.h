// Who holds a busy port, for the console tool's message about a port that
// does not open.
#pragma once

#include <string>

namespace vexolant {

// Who holds a busy port, such as "process 1234", or "" when it cannot be told.
std::string PortHolder(const char* name);

}  // namespace vexolant
