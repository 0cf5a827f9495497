// A directory of its own for the files of one test, removed at its end, and
// byte-exact reading and writing of those files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "byte_file.h"

class ScratchDir {
 public:
  ScratchDir() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "vexolant_" + std::string(test->test_suite_name()) + "_" + test->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ = std::filesystem::path(::testing::TempDir()) / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};
