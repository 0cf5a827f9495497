// The front end around the exchanges: the port file, a port that cannot be
// opened or is held, files that are not regular files, CloseFpctrl, an
// unknown command word, the trace, and a stdout that cannot be written.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
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

// A port that another process holds for longer than the run may wait ends
// the run as a port that cannot be opened, saying who held it and how long
// the run waited; the next run, once the port is free, is served.
TEST_F(PortOpening, PortHeldLongerThanTheWaitIsBusy) {
  E2E_NATIVE_ONLY("the case locks the device with flock");
  E2E_LOCAL_PORT_ONLY("the case locks the device, which ser2net does not ask for");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  WriteHome("Status_Error.txt", kEarlierResult);
  const int holder = open(printer().Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const ToolRun busy = RunTool("CheckFprinter", {{"VEXOLANT_PORT_WAIT", "0.3"}});
  ExpectNotOpened(busy, printer().Device());
  EXPECT_GE(busy.Ms(), 300) << "it waited";
  EXPECT_LT(busy.Ms(), 3000) << "and no longer than it may";
  EXPECT_NE(busy.err.find("waited 0.3 s"), std::string::npos) << busy.err;
  EXPECT_NE(busy.err.find("process " + std::to_string(getpid())), std::string::npos) << busy.err;
  const ToolRun atOnce = RunTool("CheckFprinter", {{"VEXOLANT_PORT_WAIT", "0"}});
  ExpectNotOpened(atOnce, printer().Device());
  // Far from the 30 s of the default wait; a tool under valgrind on a busy
  // machine takes a few seconds to start and end.
  EXPECT_LT(atOnce.Ms(), 5000);
  close(holder);

  ExpectReported(RunTool("CheckFprinter"), {"TRUE", 0, 0});
  StopPrinter();
  EXPECT_EQ(printer().Received(), std::vector<std::string>{kEnq}) << "only the last run";
}

// Callers that meet a busy port wait for it: each is served in turn and none
// is lost, although the first holds the port through a NAK pause.
TEST_F(PortOpening, CallersThatMeetABusyPortAreServedInTurn) {
  E2E_NATIVE_ONLY("Wine does not enforce a COM port's exclusive open");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({"--enq", "nak:1"}));
  ToolProcess first = StartTool("CheckFprinter");
  // The first run now waits 1500 ms after the NAK, holding the port.
  ASSERT_TRUE(printer().AwaitLine("send", "<NAK>", milliseconds(5000)));
  std::vector<ToolProcess> callers;
  for (int i = 0; i < 4; ++i)
    callers.push_back(StartTool("SendCmd(caller " + std::to_string(i) + ")"));
  ExpectReported(first.Finish(), {"TRUE", 0, 0});
  for (ToolProcess& caller : callers) {
    const ToolRun run = caller.Finish();
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_EQ(run.out, "Retorno: TRUE\tStatus: 0\tError: 0\n\n") << run.err;
  }
  StopPrinter();
  std::vector<std::string> received = printer().Received();
  ASSERT_EQ(received.size(), 6u);
  EXPECT_EQ(received[0], kEnq);
  EXPECT_EQ(received[1], kEnq);
  std::sort(received.begin() + 2, received.end());
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(received[2 + i].find("caller " + std::to_string(i)), std::string::npos)
        << received[2 + i];
  }
}

// The same device named in 255 bytes (a run of slashes) works; one byte more
// is refused, not cut back to the device.
TEST_F(PortOpening, PortNameLongerThan255BytesIsRefused) {
  E2E_NATIVE_ONLY("the name is a POSIX device path");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  const std::string device = printer().Device();
  const std::string name = "/dev" + std::string(256 - device.size(), '/') + device.substr(5);
  ASSERT_EQ(name.size(), 255u);
  WriteHome("Puerto.dat", name + "\n");
  ExpectReported(RunTool("CheckFprinter"), {"TRUE", 0, 0});
  WriteHome("Puerto.dat", name + "X\n");
  WriteHome("Status_Error.txt", kEarlierResult);
  ExpectNotOpened(RunTool("CheckFprinter"), "longer than 255 bytes");
  StopPrinter();
  EXPECT_EQ(printer().Received(), std::vector<std::string>{kEnq}) << "only the first run";
}

// A FIFO that nobody opens from the other end would hold the tool forever:
// as the trace file or the port file it is refused at once. (As the command
// file it is opened without waiting, and its writer is waited for within the
// idle bound of a silent pipe.)
TEST_F(PortOpening, FifoNeverHoldsTheTool) {
  E2E_NATIVE_ONLY("FIFOs are POSIX files");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  const std::string fifo = HomePath("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  constexpr std::chrono::seconds kLimit(10);

  const ToolRun traced = StartTool("CheckFprinter", {{"VEXOLANT_TRACE", fifo}}).Finish(kLimit);
  EXPECT_EQ(traced.exitStatus, 1);
  EXPECT_EQ(traced.out, ConsoleText({"TRUE", 0, 0}));
  EXPECT_NE(traced.err.find("trace file " + fifo + ": it is not a regular file"), std::string::npos)
      << traced.err;

  std::filesystem::rename(fifo, HomePath("Puerto.dat"));
  WriteHome("Status_Error.txt", kEarlierResult);
  ExpectNotOpened(StartTool("CheckFprinter").Finish(kLimit), "is not a regular file");
  StopPrinter();
  EXPECT_EQ(printer().Received(), std::vector<std::string>{kEnq}) << "only the untraced check";
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

// On stderr the trace shows the frame's control bytes escaped.
TEST_F(Trace, OnStderrShowsTheBytesEscaped) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  const ToolRun run = RunTool("SendCmd(Xyz)", {{"VEXOLANT_TRACE", "-"}});
  StopPrinter();
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, ConsoleText({"TRUE", 0, 0}));
  const std::vector<std::string> texts = TraceTexts(LfText(run.err));
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Salida = \\x02Xyz\\x03X"), texts.end())
      << run.err;
}

class Console : public E2eTest {};

// The result that cannot be printed is said on stderr and in the exit
// status; the result file is still written.
TEST_F(Console, StdoutThatCannotBeWrittenEndsWithStatus3) {
  E2E_NATIVE_ONLY("stdout is the Linux device /dev/full");
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  for (const char* request : {"SendCmd(abc)", "--version", "--help"}) {
    SCOPED_TRACE(request);
    const ToolRun run = StartTool(request, {}, "/dev/full").Finish();
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_NE(run.err.find("cannot write the result to standard output: "), std::string::npos)
        << run.err;
  }
  StopPrinter();
  EXPECT_EQ(ReadHome("Status_Error.txt"), "TRUE\t0\t0");
  EXPECT_EQ(printer().Received(), std::vector<std::string>{Cmd("abc")});
}

}  // namespace
}  // namespace e2e
