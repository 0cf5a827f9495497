// The command line's argument: split into the command word and its argument,
// and shown escaped on stderr.
#include <string>

#include "app/dispatcher.h"
#include "fuzz.h"
#include "platform/escape.h"

using namespace vexolant;

namespace {

bool HoldsParen(const std::string& text) {
  return text.find_first_of("()") != std::string::npos;
}

bool PrintableAscii(const std::string& text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An argument of the command line ends at its first NUL.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string argument = text.substr(0, text.find('\0'));
  const Request request = SplitRequest(argument.c_str());
  FUZZ_CHECK(!HoldsParen(request.word));
  FUZZ_CHECK(argument.find(request.word) != std::string::npos);
  if (request.argument) {
    FUZZ_CHECK(!request.argument->empty());
    FUZZ_CHECK(!HoldsParen(*request.argument));
    FUZZ_CHECK(request.word.size() + request.argument->size() < argument.size());
  }
  FUZZ_CHECK(PrintableAscii(EscapeForTerminal(text)));
  return 0;
}
