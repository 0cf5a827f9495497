#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "byte_file.h"
#include "fuzz.h"

void FuzzFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: rule broken: %s\n", file, line, condition);
  std::abort();
}

std::string ScratchPath(const char* suffix) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  return path + "/vexolant-fuzz-" + std::to_string(getpid()) + "-" + suffix;
}

std::string WriteScratch(const char* suffix, const uint8_t* data, size_t size) {
  const std::string path = ScratchPath(suffix);
  FUZZ_CHECK(WriteBytes(path, std::string(reinterpret_cast<const char*>(data), size)));
  return path;
}
