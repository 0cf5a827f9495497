#include "app/home.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vexolant {

#ifndef VEXOLANT_DEFAULT_HOME
#error "VEXOLANT_DEFAULT_HOME must be set by the build"
#endif

std::string HomeDirectory() {
  const char* home = std::getenv("VEXOLANT_HOME");
  if (home != nullptr && home[0] != '\0') return home;
  return VEXOLANT_DEFAULT_HOME;
}

std::string HomeFile(const char* name) {
  return HomeDirectory() + "/" + name;
}

void PrepareHomeDirectory() {
  std::error_code ignored;
  std::filesystem::create_directories(HomeDirectory(), ignored);
}

}  // namespace vexolant
