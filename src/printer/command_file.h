// The command file of SendFileCmd: read whole into memory first, then taken
// apart into command lines, the same way whatever the file is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vexolant {

// The largest command file read; a longer one (or a device that keeps giving
// bytes) is refused before any command is sent.
constexpr size_t kCommandFileLimit = 16 * 1024 * 1024;
// A pipe or device that gives no byte for this long is not read on: the file
// is refused before any command is sent.
constexpr uint32_t kCommandFileIdleMs = 10000;
// The longest piece of a line sent as one command.
constexpr size_t kCommandLinePiece = 4096;

enum class CommandFileRead {
  NotOpened,   // no path, or it cannot be opened
  Unreadable,  // not a regular file, a character device or a pipe; a failed read; too long;
               // a pipe or device without a byte for idleMs
  Read,
};

// Reads the whole file at path into *text (left empty unless Read). A pipe is
// read until its writers close it; a FIFO that no writer has opened yet is
// waited for, up to idleMs.
CommandFileRead ReadCommandFile(const char* path, std::string* text,
                                uint32_t idleMs = kCommandFileIdleMs);

// Where the reading of a command text stands.
struct CommandReader {
  std::string_view text;
  size_t next = 0;  // the next byte to read; the end once 0x1A has been read
};

// The next command line into *line: a line with its LF, or the next
// kCommandLinePiece bytes of a longer line. A CR LF pair reads as LF and 0x1A
// ends the whole text; lines (and pieces) that start with a byte below 0x20
// are skipped. Returns false when no command line is left.
bool NextCommandLine(CommandReader* reader, std::string* line);

}  // namespace vexolant
