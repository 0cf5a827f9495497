// Bytes from outside the tool (file contents, paths, the command line, the
// printer's answers) shown on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace vexolant {

// The text with every byte outside printable ASCII (control bytes, 0x7F and
// bytes from 0x80 up) written as \xHH and every backslash as \\, so that
// nothing written to a terminal can act as a control sequence.
std::string EscapeForTerminal(std::string_view text);

}  // namespace vexolant
