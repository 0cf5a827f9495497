// What the console tool says about a port that does not open: a hint a
// person can act on, and who holds a busy port.
#pragma once

#include <cstdint>
#include <string>

namespace vexolant {

// A hint for a port that cannot be opened, or "" when there is none.
const char* PortOpenHint(int32_t error);
// The same for a network port (tcp://HOST:PORT, rfc2217://HOST:PORT): the
// errors that the network backend gives an open that fails.
const char* NetworkPortOpenHint(int32_t error);
// Who holds a busy port, such as "process 1234", or "" when it cannot be told.
std::string PortHolder(const char* name);

}  // namespace vexolant
