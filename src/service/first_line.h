// The first line of a small file that holds a secret (the API token, the
// broker's password, the job key), for the service and vexolant-fleet.
#pragma once

#include <fstream>
#include <optional>
#include <string>

namespace vexolant::service {

// The file's first line without its line end and trailing blanks; nullopt
// when the file cannot be read.
inline std::optional<std::string> ReadFirstLine(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string line;
  std::getline(file, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.pop_back();
  }
  return line;
}

}  // namespace vexolant::service
