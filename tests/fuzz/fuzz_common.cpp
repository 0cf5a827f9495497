#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
  FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, file) == size);
  FUZZ_CHECK(std::fclose(file) == 0);
  return path;
}

std::string ReadScratch(const std::string& path) {
  std::string content;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return content;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, n);
  std::fclose(file);
  return content;
}
