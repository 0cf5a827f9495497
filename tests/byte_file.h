// Byte-exact reading and writing of whole files, for tests and fuzz targets.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The file's bytes, or "" when it cannot be read.
inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Makes the file hold exactly bytes; false when it could not be written.
inline bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  out.close();
  return !out.fail();
}
