#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/environment.h"
#include "platform/escape.h"
#include "test_env.h"
#include "trace_capture.h"
#include "vexolant/vexolant.h"

using namespace vexolant;

namespace {

TEST_F(TraceCapture, TimestampIsZeroPadded) {
  EXPECT_STREQ(TraceTimestamp(), "2026/03/04 09:05:07.004");
}

TEST_F(TraceCapture, FourLineForms) {
  SwitchOn();
  TraceText("Puerto abierto");
  TraceInt("Enviando comando", 3);
  TraceStr("Archivo creado ", "/tmp/Reporte.txt");
  TraceError("Port_Open", 2);
  TraceInt("Ciclo ", -96);
  EXPECT_EQ(Written(),
            "\n2026/03/04 09:05:07.004 Puerto abierto"
            "\n2026/03/04 09:05:07.004 Enviando comando = 3"
            "\n2026/03/04 09:05:07.004 Archivo creado  = /tmp/Reporte.txt"
            "\n2026/03/04 09:05:07.004 ERROR: Port_Open [2]"
            "\n2026/03/04 09:05:07.004 Ciclo  = -96");
}

TEST_F(TraceCapture, TextsAreWrittenLiterally) {
  SwitchOn();
  TraceStr("Salida", "%s%n%d");
  TraceText("100%");
  EXPECT_EQ(Written(),
            "\n2026/03/04 09:05:07.004 Salida = %s%n%d"
            "\n2026/03/04 09:05:07.004 100%");
}

TEST_F(TraceCapture, SilentUnlessSwitchAndSinkAreBothSet) {
  TraceEnabled = 1;  // no sink
  TraceText("a");
  TraceError("b", 1);
  TraceEnabled = 0;
  TraceSink = sink_;  // sink, switch off
  TraceInt("c", 1);
  TraceStr("d", "e");
  EXPECT_EQ(Written(), "");
  EXPECT_EQ(g_traceClockReads, 0) << "a silent trace reads no clock";
}

TEST_F(TraceCapture, EnvironmentChoosesTheSink) {
  const std::string path = ::testing::TempDir() + "vexolant_trace_test.txt";
  std::remove(path.c_str());
  SetTestEnv("VEXOLANT_TRACE", "");
  StartTraceFromEnvironment();
  EXPECT_EQ(TraceEnabled, 0);

  SetTestEnv("VEXOLANT_TRACE", "-");
  StartTraceFromEnvironment();
  EXPECT_EQ(TraceSink, stderr);

  SetTestEnv("VEXOLANT_TRACE", path.c_str());
  StartTraceFromEnvironment();
  TraceText("uno");
  StartTraceFromEnvironment();  // appends to what is there
  TraceText("dos");
  vexolant_trace_to_file(nullptr);
  // The trace file is text: read in text mode, Windows' CR LF reads as LF.
  FILE* f = std::fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buffer[256] = {};
  std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  EXPECT_STREQ(buffer, "\n2026/03/04 09:05:07.004 uno\n2026/03/04 09:05:07.004 dos");

  SetTestEnv("VEXOLANT_TRACE", "/nonexistent-dir/trace.txt");
  ::testing::internal::CaptureStderr();
  StartTraceFromEnvironment();
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("cannot open the trace file"),
            std::string::npos);
  EXPECT_EQ(TraceEnabled, 0);
  ClearTestEnv("VEXOLANT_TRACE");
  std::remove(path.c_str());
}

TEST(EscapeForTerminal, PrintableAsciiStaysAndEveryOtherByteIsEscaped) {
  struct Case {
    std::string text, shown;
  } cases[] = {
      {"COM1 /dev/ttyS0 ~!\"#$%&'()*+,-./:;<=>?@[]^_`{|}",
       "COM1 /dev/ttyS0 ~!\"#$%&'()*+,-./:;<=>?@[]^_`{|}"},
      {"C:\\Vexolant\\", "C:\\\\Vexolant\\\\"},
      {"\x1b[2J\x07\t\r\n", "\\x1b[2J\\x07\\x09\\x0d\\x0a"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x7f\x80\x9b\xc3\xb1\xff", "\\x7f\\x80\\x9b\\xc3\\xb1\\xff"},
      {"\\x41", "\\\\x41"},  // an escape cannot be forged
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeForTerminal(c.text), c.shown);
}

// The trace on stderr shows the printer's bytes escaped; each line keeps its form.
TEST_F(TraceCapture, OnStderrTheTextsAndValuesAreEscaped) {
  SetTestEnv("VEXOLANT_TRACE", "-");
  StartTraceFromEnvironment();
  ::testing::internal::CaptureStderr();
  TraceText("\x1b[2J");
  TraceInt("a\tb", 5);
  TraceStr("Salida", "\x02X\\\x03Y");
  TraceError("x\ny", 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "\n2026/03/04 09:05:07.004 \\x1b[2J"
            "\n2026/03/04 09:05:07.004 a\\x09b = 5"
            "\n2026/03/04 09:05:07.004 Salida = \\x02X\\\\\\x03Y"
            "\n2026/03/04 09:05:07.004 ERROR: x\\x0ay [1]");
  ClearTestEnv("VEXOLANT_TRACE");
}

}  // namespace
