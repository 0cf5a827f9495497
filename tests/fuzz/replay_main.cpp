// Runs a fuzz target over saved inputs, without libFuzzer: every file named
// on the command line, and every file in a directory named there. The normal
// builds run each target over its seeds and the inputs of earlier findings
// this way, so those keep passing with any compiler.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz.h"

namespace {

int RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failed = 0;
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (!entry.is_regular_file()) continue;
        failed |= RunFile(entry.path());
        ++runs;
      }
    } else {
      failed |= RunFile(arg);
      ++runs;
    }
  }
  std::printf("%d input(s) ran\n", runs);
  return failed != 0 || runs == 0 ? 1 : 0;
}
