// What the console tool needs of the library beyond the C API: a handle on a
// port driven by a backend of the caller's choice (the scripted fake port of
// the tool's tests), and the facts about a port name that its messages show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vexolant/vexolant.h"

namespace vexolant {

struct PortBackend;

// vexolant_open_with on the given backend and its state (nullptr: the
// platform's).
int32_t OpenOnBackend(const char* portName, const vexolant_options* options,
                      const PortBackend* backend, void* backendState, vexolant_port** port);

// The longest port name, in bytes.
inline constexpr size_t kLongestPortName = 255;

// Why a port name cannot be opened as it stands, or nullptr when it can.
const char* PortNameProblem(std::string_view name);

// The device a port name opens, such as /dev/ttyUSB0 for ttyUSB0.
std::string DeviceOfPortName(const char* name);

}  // namespace vexolant
