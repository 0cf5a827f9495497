// What the fuzz targets share: the entry point libFuzzer calls, a check that
// stops the run with its reason when a rule of the protocol is broken, and a
// scratch file that a target writes its input to when the code under test
// reads a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Stops the run (libFuzzer then saves the input) when a rule does not hold.
#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : FuzzFailed(#condition, __FILE__, __LINE__))
[[noreturn]] void FuzzFailed(const char* condition, const char* file, int line);

// A file of this process in the temporary directory, named by suffix; the
// same path on every call with the same suffix.
std::string ScratchPath(const char* suffix);
// Writes bytes to the scratch file named by suffix and returns its path.
std::string WriteScratch(const char* suffix, const uint8_t* data, size_t size);
