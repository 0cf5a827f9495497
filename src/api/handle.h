// What the library's front ends share beyond the C API: the options read
// from the environment, and opening a handle on a backend of the caller's
// choice (a scripted fake in tests).
#pragma once

#include <cstdint>

#include "link/port.h"
#include "vexolant/vexolant.h"

namespace vexolant {

// VEXOLANT_PORT_WAIT in milliseconds: seconds (fractions allowed) to wait for
// a port that another process holds; 30 s when unset, empty or not a
// non-negative number.
uint32_t PortWaitFromEnvironment();
// A time in seconds (fractions allowed) from the variable, in milliseconds
// (at most a day); defaultMs when unset, empty or not a non-negative number.
// VEXOLANT_CONNECT_TIMEOUT and VEXOLANT_NEGOTIATION_TIMEOUT set a network
// port's bounds this way.
uint32_t SecondsFromEnvironment(const char* variable, uint32_t defaultMs);

// VEXOLANT_READ_END: "complete" ends reads at a whole reply; anything else
// is the read gap.
ReadEnd ReadEndFromEnvironment();

// vexolant_open_wait on the given backend and backend state (nullptr: the
// platform's).
int32_t OpenHandle(const char* portName, uint32_t busyWaitMs, const PortBackend* backend,
                   void* backendState, vexolant_port** port);

}  // namespace vexolant
