// What --version prints after a program's name: the project's version (the
// build's project VERSION) and the serial backend the build uses.
#pragma once

namespace vexolant {

constexpr const char* kVersionText = VEXOLANT_VERSION " (" VEXOLANT_PLATFORM ")";

}  // namespace vexolant
