// Command dispatcher: one request per process. Reads the port name, opens the
// port, runs the operation named by the command word and reports its result.
#pragma once

#include <optional>
#include <string>

namespace vexolant {

struct PortBackend;

struct Request {
  std::string word;
  std::optional<std::string> argument;  // absent when the request holds none
};

// Splits "Word(argument)" at parentheses: leading parentheses are skipped, the
// word runs to the next parenthesis, the argument from after any further
// parentheses to the next one. Whatever follows is ignored.
Request SplitRequest(const char* text);

// Reads the port name: the first line of the port file without CR or LF, or
// its first 256 bytes when it is longer (so that the name check finds it).
// Returns 0 and the errno value (kNotPlainFile for a file that is neither a
// regular file nor a character device) in *error when the file cannot be
// read; an empty name is returned as such.
int ReadPortName(const std::string& path, std::string* name, int* error);

// Runs the tool for a command line and returns the process exit status:
// 0 when the port is not opened, 1 once it is, 2 for a malformed command line,
// 3 when what was printed could not be written to stdout. The port is driven
// by the given backend (nullptr: the platform's).
int RunTool(int argc, const char* const* argv, const PortBackend* backend = nullptr,
            void* backendState = nullptr);

}  // namespace vexolant
