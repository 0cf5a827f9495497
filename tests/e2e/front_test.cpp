// The front end around the exchanges: the port file, a port that cannot be
// opened or is held, CloseFpctrl, an unknown command word, and the trace.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "harness.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;

class PortOpening : public E2eTest {};

TEST_F(PortOpening, MissingPortFileEndsQuietly) {
  WriteHome("Status_Error.txt", kEarlierResult);
  ExpectNotOpened(RunTool("CheckFprinter"), "Puerto.dat");
}

TEST_F(PortOpening, PortThatCannotBeOpenedEndsQuietly) {
  const std::string name = MissingPortName();
  WriteHome("Puerto.dat", name + "\n");
  WriteHome("Status_Error.txt", kEarlierResult);
  for (const char* request : {"CheckFprinter", "SendCmd(abc)", "UploadReportCmd(R)",
                              "UploadStatusCmd(S)", "CloseFpctrl"}) {
    SCOPED_TRACE(request);
    ExpectNotOpened(RunTool(request), name);
  }
  EXPECT_FALSE(HomeHas("Reporte.txt"));
  EXPECT_FALSE(HomeHas("Status.txt"));
}

TEST_F(PortOpening, PortLockedByAnotherProcessIsBusy) {
  E2E_NATIVE_ONLY("the case locks the device with flock");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  WriteHome("Status_Error.txt", kEarlierResult);
  const int holder = open(printer().Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  ExpectNotOpened(RunTool("CheckFprinter"), printer().Device());
  close(holder);

  ExpectReported(RunTool("CheckFprinter"), {"TRUE", 0, 0});
  StopPrinter();
  EXPECT_EQ(printer().Received(), std::vector<std::string>{kEnq}) << "only the second run";
}

TEST_F(PortOpening, SecondRunFindsThePortBusy) {
  E2E_NATIVE_ONLY(
      "the second open must fail, and Wine does not enforce a COM port's exclusive open");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({"--enq", "nak:1"}));
  WriteHome("Status_Error.txt", kEarlierResult);
  ToolProcess first = StartTool("CheckFprinter");
  // The first run now waits 1500 ms after the NAK, holding the port.
  ASSERT_TRUE(printer().AwaitLine("send", "<NAK>", milliseconds(5000)));
  ExpectNotOpened(RunTool("SendCmd(abc)"), printer().Device());

  ExpectReported(first.Finish(), {"TRUE", 0, 0});
  StopPrinter();
  EXPECT_EQ(printer().Received(), (std::vector<std::string>{kEnq, kEnq}));
}

class CloseFpctrl : public E2eTest {};

TEST_F(CloseFpctrl, OpensAndClosesAndReportsNothing) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  const ToolRun run = RunTool("CloseFpctrl");
  StopPrinter();
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "");
  if (NativeTool()) {
    EXPECT_EQ(run.err, "");
  }
  EXPECT_FALSE(HomeHas("Status_Error.txt"));
  EXPECT_EQ(printer().Received(), std::vector<std::string>{});
}

class CommandWord : public E2eTest {};

TEST_F(CommandWord, UnknownWordOpensThePortAndReportsNothing) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  WriteHome("Status_Error.txt", kEarlierResult);
  const ToolRun run = RunTool("readfpstatus");
  StopPrinter();
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(ReadHome("Status_Error.txt"), kEarlierResult);
  EXPECT_EQ(printer().Received(), std::vector<std::string>{});
}

class Trace : public E2eTest {};

// The texts of the trace lines, each checked for its timestamp; every line
// begins with a line end, so the trace starts with an empty line.
std::vector<std::string> TraceTexts(const std::string& trace) {
  static const std::regex kLine(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} ([^\n]*))");
  std::vector<std::string> texts;
  EXPECT_EQ(trace.substr(0, 1), "\n");
  for (size_t at = 1; at <= trace.size();) {
    size_t end = trace.find('\n', at);
    if (end == std::string::npos) end = trace.size();
    const std::string line = trace.substr(at, end - at);
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, kLine)) << "trace line: " << line;
    texts.push_back(m.size() == 2 ? m[1].str() : line);
    at = end + 1;
  }
  return texts;
}

TEST_F(Trace, FileHoldsTheStepsOfARefusedCommandInOrder) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({"--rule", "X=refuse:4060"}));
  const std::string earlier = "earlier trace\n";
  WriteHome("traza.txt", earlier);
  const ToolRun run = RunTool("SendCmd(Xyz)", {{"VEXOLANT_TRACE", HomePath("traza.txt")}});
  StopPrinter();
  ExpectReported(run, {"FALSE", 1, 96});

  const std::string trace = LfText(ReadHome("traza.txt"));
  ASSERT_EQ(trace.substr(0, earlier.size()), earlier) << "the trace is appended";
  EXPECT_NE(trace.back(), '\n') << "the last line is left open";
  const std::vector<std::string> expected = {
      "** OpenFpctrl 10112006 **",
      "Puerto abierto",
      "** SendCmd ** ",
      "Salida = \x02Xyz\x03X",
      "paso 1",
      "paso 5",
      "** ReadFpOrignalStatus ** ",
      "paso r1",
      "CheckFprinter: OK",
      "paso cmderror y bretstatus verdadero y va a check status",
  };
  EXPECT_EQ(TraceTexts(trace.substr(earlier.size())), expected);
}

}  // namespace
}  // namespace e2e
