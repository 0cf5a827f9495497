// The console tool's settings from its environment: the library's options
// and the diagnostic trace. The library itself reads no variable.
#pragma once

#include "vexolant/vexolant.h"

namespace vexolant {

// The options that VEXOLANT_PORT_WAIT, VEXOLANT_READ_END,
// VEXOLANT_UPLOAD_LIMIT, VEXOLANT_CONNECT_TIMEOUT and
// VEXOLANT_NEGOTIATION_TIMEOUT set; a variable that is unset, empty or not
// a number in range leaves its default.
vexolant_options OptionsFromEnvironment();

// Switches the trace as VEXOLANT_TRACE says: unset or empty keeps it silent,
// "-" sends it to stderr (escaped), anything else names a file that is
// appended to. When that file cannot be opened, says so on stderr (the
// trace then stays off).
void StartTraceFromEnvironment();

}  // namespace vexolant
