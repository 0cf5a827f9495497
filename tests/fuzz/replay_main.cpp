// Runs a fuzz target over saved inputs, without libFuzzer: every file named
// on the command line, and every file in a directory named there. The normal
// builds run each target over its seeds and the inputs of earlier findings
// this way, so those keep passing with any compiler.
#include <cstdio>
#include <filesystem>

#include "byte_file.h"
#include "fuzz.h"

namespace {

void RunFile(const std::filesystem::path& path) {
  const std::string bytes = ReadBytes(path.string());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (!entry.is_regular_file()) continue;
        RunFile(entry.path());
        ++runs;
      }
    } else if (std::filesystem::is_regular_file(arg)) {
      RunFile(arg);
      ++runs;
    } else {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
  }
  std::printf("%d input(s) ran\n", runs);
  return runs == 0 ? 1 : 0;
}
