// Network ports end to end: the tool against the virtual printer behind
// Debian's ser2net, or against the printer serving TCP itself. A server that
// is not there, one that never answers the Telnet options, a server restarted
// between runs, a second client while the first holds the printer, 0xFF in a
// command and as a check byte, Telnet commands in the middle of replies, and
// the line that an rfc2217 client sets.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;

const char* const kSchemes[] = {"tcp", "rfc2217"};

class Network : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    // A run that maps every printer to one port name (COM5 under Wine) or
    // one network scheme would override the ports these cases choose.
    if (!NetworkScheme().empty() || PortNamesMapped()) {
      GTEST_SKIP() << "the cases choose their own ports";
    }
  }
  // The printer on its pseudo-terminal, with ser2net in front of it; the
  // case has asked for ser2net with E2E_NEEDS_SER2NET.
  void StartBehindSer2net(const std::vector<std::string>& options) {
    ASSERT_NO_FATAL_FAILURE(StartPrinter(options));
    server_.emplace(CaseDir(), printer().Device());
    ASSERT_TRUE(server_->Started());
  }
  void UsePort(const std::string& name) { WriteHome("Puerto.dat", name + "\n"); }
  std::optional<Ser2net> server_;
};

TEST_F(Network, AServerThatIsNotThereIsRefusedAtOnce) {
  for (const char* scheme : kSchemes) {
    SCOPED_TRACE(scheme);
    const std::string name = std::string(scheme) + "://127.0.0.1:" + std::to_string(FreeTcpPort());
    UsePort(name);
    WriteHome("Status_Error.txt", kEarlierResult);
    const ToolRun run = RunTool("CheckFprinter");  // the busy-port wait (30 s) does not apply
    ExpectNotOpened(run, name);
    EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;
    EXPECT_LT(run.Ms(), 3000);
  }
}

TEST_F(Network, AServerThatNeverAnswersTheOptionsEndsTheOpenAtTheBound) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({"--tcp", "127.0.0.1:0", "--rfc2217", "silent"}));
  WriteHome("Status_Error.txt", kEarlierResult);
  const ToolRun run = RunTool("CheckFprinter", {{"VEXOLANT_NEGOTIATION_TIMEOUT", "0.5"}});
  ExpectNotOpened(run, "rfc2217://127.0.0.1:");
  EXPECT_NE(run.err.find("did not answer in time"), std::string::npos) << run.err;
  EXPECT_GE(run.Ms(), 500);
  EXPECT_LT(run.Ms(), 4000);
}

// Telnet commands in the middle of every answer, a sub-negotiation split
// across two writes among them: every command word is served as usual.
TEST_F(Network, TelnetCommandsInTheMiddleOfRepliesLeaveThemWhole) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({"--tcp", "127.0.0.1:0", "--rfc2217", "inject", "--rule",
                                        "R=report:2:Line %d", "--rule", "S=block:Ready"}));
  WriteHome("comandos.txt", "uno\ndos\n");
  struct Run {
    std::string request;
    std::string word;  // empty: nothing reported
    int status = 0;
  } runs[] = {
      {"CheckFprinter", "TRUE"},
      {"ReadFpStatus", "TRUE", 1},
      {"SendCmd(abc)", "TRUE"},
      {"SendFileCmd(" + HomePath("comandos.txt") + ")", "2"},
      {"UploadReportCmd(R)", "TRUE"},
      {"UploadStatusCmd(S)", "TRUE"},
      {"CloseFpctrl", ""},
  };
  for (const Run& r : runs) {
    SCOPED_TRACE(r.request);
    const ToolRun run = RunTool(r.request);
    EXPECT_EQ(run.out, r.word.empty() ? "" : ConsoleText({r.word, r.status, 0})) << run.err;
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(ReadHome("Status.txt"), "Ready\r\n");
  EXPECT_EQ(ReadHome("Reporte.txt"), "Line 1\r\nLine 2\r\n");
}

TEST_F(Network, ByteFFInACommandAndAsACheckByteCrossesBothSchemes) {
  // 0xFF 'A' 'B' ETX folds to 0xFF: the frame's check byte is 0xFF too.
  const std::string text =
      "\xff"
      "AB";
  E2E_NATIVE_ONLY("a byte 0xFF in an argument does not reach a Windows program as that byte");
  E2E_NEEDS_SER2NET();
  ASSERT_NO_FATAL_FAILURE(StartBehindSer2net({"--rule", text + "=block:" + text}));
  for (const char* scheme : kSchemes) {
    SCOPED_TRACE(scheme);
    UsePort(server_->Name(scheme));
    const ToolRun run = RunTool("UploadStatusCmd(" + text + ")");
    EXPECT_EQ(run.out, ConsoleText({"TRUE", 0, 0})) << run.err;
    EXPECT_EQ(ReadHome("Status.txt"), text + "\r\n");
  }
  ASSERT_TRUE(server_->AwaitIdle(printer().Device(), milliseconds(5000)));
  const std::string frame = "<STX><0xFF>AB<ETX><LRC 0xFF>";
  // Each run's final ACK may be lost to ser2net's flush at its close (see
  // AllowingLostFinalAck): the frames are what this case is about.
  std::vector<std::string> frames = printer().Received();
  std::erase(frames, kAck);
  EXPECT_EQ(frames, (std::vector<std::string>{frame, frame}));
  EXPECT_EQ(printer().Sent(), (std::vector<std::string>{frame, frame}));
}

// Runs before and after ser2net is stopped and started again on the same
// ports: each run makes a connection of its own.
TEST_F(Network, AServerRestartedBetweenRunsServesTheNextRun) {
  E2E_NEEDS_SER2NET();
  ASSERT_NO_FATAL_FAILURE(StartBehindSer2net({}));
  const int tcpPort = server_->TcpPort();
  const int telnetPort = server_->TelnetPort();
  for (int round = 0; round < 2; ++round) {
    for (const char* scheme : kSchemes) {
      SCOPED_TRACE(std::string(scheme) + " round " + std::to_string(round));
      UsePort(server_->Name(scheme));
      const ToolRun run = RunTool("CheckFprinter");
      EXPECT_EQ(run.out, ConsoleText({"TRUE", 0, 0})) << run.err;
    }
    ASSERT_TRUE(server_->AwaitIdle(printer().Device(), milliseconds(5000)));
    server_.reset();
    server_.emplace(CaseDir(), printer().Device(), tcpPort, telnetPort);
    ASSERT_TRUE(server_->Started());
  }
  EXPECT_EQ(printer().Received(), std::vector<std::string>(4, kEnq));
}

// ser2net serves one client: the second is turned away with a text and
// waits as for a busy local port, then is served.
TEST_F(Network, ASecondClientWaitsWhileTheFirstHoldsThePrinter) {
  E2E_NEEDS_SER2NET();
  ASSERT_NO_FATAL_FAILURE(StartBehindSer2net({"--enq", "nak:1"}));
  for (const char* scheme : kSchemes) {
    SCOPED_TRACE(scheme);
    UsePort(server_->Name(scheme));
    const size_t naks = printer().Lines("send").size();
    ToolProcess first = StartTool("CheckFprinter");
    // The first run now waits 1500 ms after the NAK, holding the printer.
    const auto start = Clock::now();
    while (printer().Lines("send").size() == naks && Clock::now() - start < milliseconds(5000)) {
      usleep(2000);
    }
    ToolProcess second = StartTool("SendCmd(second)");
    const ToolRun firstRun = first.Finish();
    ExpectReported(firstRun, {"TRUE", 0, 0});
    const ToolRun run = second.Finish();
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_EQ(run.out, ConsoleText({"TRUE", 0, 0})) << run.err;
    EXPECT_GE(run.end - firstRun.start, milliseconds(1500)) << "the second waited for the first";
  }
  ASSERT_TRUE(server_->AwaitIdle(printer().Device(), milliseconds(5000)));
  const std::string second = Cmd("second");
  EXPECT_EQ(printer().Received(),
            (std::vector<std::string>{kEnq, kEnq, second, kEnq, kEnq, second}));
}

// The rfc2217 client sets the line itself: ser2net, configured at 19200
// baud, takes the client's 9600 8E1 and sets the device's speed (a
// pseudo-terminal keeps no parity); a raw tcp client leaves the line as the
// server has it. ser2net puts the device's settings back when the client
// leaves, so the speed is read while the printer delays its answer.
TEST_F(Network, Rfc2217SetsTheLineThatTcpLeavesAlone) {
  E2E_NEEDS_SER2NET();
  ASSERT_NO_FATAL_FAILURE(StartPrinter({"--enq", "delay:300"}));
  const std::string device = printer().Device();
  server_.emplace(CaseDir(), device, 0, 0, "19200n81");
  ASSERT_TRUE(server_->Started());
  auto speed = [&] {
    termios t{};
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool read = fd >= 0 && tcgetattr(fd, &t) == 0;
    if (fd >= 0) close(fd);
    return read ? cfgetospeed(&t) : B0;
  };
  for (const auto& [scheme, wanted] : {std::pair{"tcp", B19200}, std::pair{"rfc2217", B9600}}) {
    SCOPED_TRACE(scheme);
    UsePort(server_->Name(scheme));
    const size_t enquiries = printer().Received().size();
    ToolProcess tool = StartTool("CheckFprinter");
    const auto start = Clock::now();
    while (printer().Received().size() == enquiries && Clock::now() - start < milliseconds(5000)) {
      usleep(2000);
    }
    EXPECT_EQ(speed(), wanted);
    const ToolRun run = tool.Finish();
    EXPECT_EQ(run.out, ConsoleText({"TRUE", 0, 0})) << run.err;
    ASSERT_TRUE(server_->AwaitIdle(device, milliseconds(5000)));
  }
}

}  // namespace
}  // namespace e2e
