// The command file of SendFileCmd: read whole, then taken apart into the
// command lines that are sent.
#include <string>

#include "fuzz.h"
#include "printer/command_file.h"

using namespace vexolant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = WriteScratch("commands.txt", data, size);
  std::string text;
  FUZZ_CHECK(ReadCommandFile(path.c_str(), &text) == CommandFileRead::Read);
  FUZZ_CHECK(text == std::string(reinterpret_cast<const char*>(data), size));

  // Nothing after the first 0x1A is read.
  const size_t end = text.find('\x1a');
  const std::string before = text.substr(0, end);
  CommandReader reader{text};
  std::string line;
  size_t taken = 0;
  size_t previousEnd = 0;
  while (NextCommandLine(&reader, &line)) {
    FUZZ_CHECK(!line.empty() && line.size() <= kCommandLinePiece);
    FUZZ_CHECK(static_cast<unsigned char>(line[0]) >= 0x20);
    FUZZ_CHECK(line.find('\x1a') == std::string::npos);
    // A line holds one LF at most, as its last byte.
    const size_t lf = line.find('\n');
    FUZZ_CHECK(lf == std::string::npos || lf + 1 == line.size());
    // The lines come in the order of the text, from before its end.
    const std::string body = line.substr(0, lf);
    const size_t at = before.find(body, previousEnd);
    FUZZ_CHECK(at != std::string::npos);
    previousEnd = at + body.size();
    taken += line.size();
    FUZZ_CHECK(taken <= before.size());
  }
  // Once done, the reader stays done.
  FUZZ_CHECK(!NextCommandLine(&reader, &line));
  return 0;
}
