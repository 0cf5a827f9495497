// The port file: its first line is the port name, and a name that would open
// another device than the one named is refused.
#include <string>

#include "app/dispatcher.h"
#include "fuzz.h"
#include "link/port.h"

using namespace vexolant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = WriteScratch("Puerto.dat", data, size);
  const std::string content(reinterpret_cast<const char*>(data), size);
  std::string name;
  int error = -1;
  FUZZ_CHECK(ReadPortName(path, &name, &error) == 1);
  FUZZ_CHECK(error == 0);
  // The name is the start of the first line, at most one byte past the
  // longest name so that a longer one is seen.
  FUZZ_CHECK(content.compare(0, name.size(), name) == 0);
  FUZZ_CHECK(name.find_first_of("\r\n") == std::string::npos);
  FUZZ_CHECK(name.size() <= kMaxPortName + 1);
  const size_t lineEnd = content.find_first_of("\r\n");
  if (name.size() <= kMaxPortName) {
    FUZZ_CHECK(name.size() == std::min(lineEnd, content.size()));
  }
  const char* fault = PortNameFault(name);
  if (fault == nullptr) {
    // What is opened is the name as it stands, whole.
    FUZZ_CHECK(!name.empty() && name.size() <= kMaxPortName);
    FUZZ_CHECK(PortDevicePath(name.c_str()).find(name) != std::string::npos);
    for (const char c : name) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  }
  if (name.find('\0') == std::string::npos) {
    FUZZ_CHECK((PortNameError(name.c_str()) == 0) == (fault == nullptr));
  }
  return 0;
}
