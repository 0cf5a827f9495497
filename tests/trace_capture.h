// Captures the trace in a temporary stream, read back as text, under a fixed
// clock that counts how often it is read.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "trace/trace.h"

namespace vexolant {

inline int g_traceClockReads = 0;

// 2026/03/04 09:05:07.004
inline TraceTime FixedTraceClock() {
  ++g_traceClockReads;
  return TraceTime{2026, 3, 4, 9, 5, 7, 4};
}

class TraceCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = OpenSink();
    ASSERT_NE(sink_, nullptr);
    TraceUseClock(FixedTraceClock);
    g_traceClockReads = 0;
  }
  void TearDown() override {
    TraceSink = nullptr;
    TraceEnabled = 0;
    TraceEscape = 0;
    TraceUseClock(nullptr);
    std::fclose(sink_);
    std::remove(SinkPath().c_str());
  }
  void SwitchOn() {
    TraceSink = sink_;
    TraceEnabled = 1;
  }
  // Starts an empty trace.
  void Restart() {
    std::fclose(sink_);
    sink_ = OpenSink();
    ASSERT_NE(sink_, nullptr);
    TraceSink = sink_;
  }
  std::string Written() {
    std::fflush(sink_);
    std::rewind(sink_);
    std::string text;
    for (int c; (c = std::fgetc(sink_)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
  }
  FILE* sink_ = nullptr;

 private:
  // A file in the test's temporary folder (a tmpfile may land where a normal
  // user cannot write on Windows), emptied on every open. Named after the
  // test, since ctest runs tests in parallel processes.
  static std::string SinkPath() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::TempDir() + "vexolant_trace_capture_" + test->test_suite_name() + "_" +
           test->name() + ".txt";
  }
  static FILE* OpenSink() { return std::fopen(SinkPath().c_str(), "w+b"); }
};

}  // namespace vexolant
