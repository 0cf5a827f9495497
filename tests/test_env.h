// Sets and clears environment variables of the test process, the same way on
// every platform.
#pragma once

#include <cstdlib>

// Sets name to value. On Windows an empty value removes the variable, which
// the tool reads the same as an empty one.
inline void SetTestEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

inline void ClearTestEnv(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}
