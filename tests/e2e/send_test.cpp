// SendCmd and SendFileCmd: the frames the printer receives, its answers and
// refusals, and the result each one gives.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"

namespace e2e {
namespace {

const Result kTrue{"TRUE", 0, 0};
const std::vector<std::string> kXyz{Cmd("Xyz")};

Case Sent(std::string name, std::string request, std::string frameText) {
  return {.name = std::move(name),
          .request = std::move(request),
          .result = kTrue,
          .received = {Cmd(frameText)}};
}

// X... commands are answered by the rule of the case.
Case Answered(std::string name, std::string steps, Result result,
              std::vector<std::string> received = kXyz, Check check = {}) {
  return {.name = std::move(name),
          .printer = {"--rule", "X=" + std::move(steps)},
          .request = "SendCmd(Xyz)",
          .result = std::move(result),
          .received = std::move(received),
          .check = std::move(check)};
}

const Case kSendCases[] = {
    // After a one-byte answer the read, and with it the run, ends 50 ms later.
    {.name = "Accepted",
     .request = "SendCmd(abc)",
     .result = kTrue,
     .received = {"<STX>abc<ETX><LRC 0x63>"},
     .check = EndsAfterLast("send", 30, 600)},
    Sent("TextWithBlanks", "SendCmd(Hola mundo, 2 x 3)", "Hola mundo, 2 x 3"),
    Sent("TextEndsAtCr", "SendCmd(abc\rdef)", "abc"),
    Sent("TextEndsAtLf", "SendCmd(abc\ndef\r\n)", "abc"),
    Sent("NoArgumentIsTheEmptyText", "SendCmd", ""),
    Sent("EmptyParenthesesAreTheEmptyText", "SendCmd()", ""),
    Sent("ArgumentEndsAtAParenthesis", "SendCmd(a b(c)d)", "a b"),
    Sent("LongTextIsCutAt4096Bytes", "SendCmd(" + std::string(5000, 'a') + ")",
         std::string(4096, 'a')),
    // A refusal: ENQ, the tool's one ACK, then the status frame, decoded.
    Answered("Refused", "refuse:4060", {"FALSE", 1, 96}, {Cmd("Xyz"), kAck},
             SentPieces({"<ENQ>", "<STX>@`<ETX><LRC 0x23>"})),
    Answered("RefusedWithAStatusThatDecodesAsSuccess", "refuse:4041", {"TRUE", 1, 1},
             {Cmd("Xyz"), kAck}),
    Answered("RefusedWithANineByteStatus", "refuse:400000E00000", {"FALSE", 1, 226},
             {Cmd("Xyz"), kAck}),
    Answered("StatusFrameAnswerIsAcceptedUndecoded", "status:400000E00000", kTrue),
    Answered("ThreeNaks", "nak", {"FALSE", 0, 128}, {Cmd("Xyz"), Cmd("Xyz"), Cmd("Xyz")},
             ExpectNakPauses),
    Answered("GarbageAnswer", "garbage:41", {"FALSE", 0, 144}),
    Answered("WrongCheckByte", "badlrc", {"FALSE", 0, 144}),
    // The printer would take the text for two frames: nothing is sent.
    {.name = "TextHoldingAFramingByteIsNotSent",
     .request = "SendCmd(A\x03"
                "B)",
     .result = {"FALSE", 0, 146},
     .received = {}},
};
INSTANTIATE_TEST_SUITE_P(SendCmd, Exchange, testing::ValuesIn(kSendCases), CaseName);

// A silent printer costs three reads of 9 s; so does a refusal whose status
// frame never comes.
const Case kSlowSendCases[] = {
    Answered("SilentPrinter", "silent", {"FALSE", 0, 137}, {Cmd("Xyz"), Cmd("Xyz"), Cmd("Xyz")},
             RequestsEvery(8800, 10500)),
    Answered("RefusedWithoutAStatusFrame", "stop:0,refuse", {"FALSE", 0, 137}, {Cmd("Xyz"), kAck},
             EndsAfterLast("recv", 26500, 31000)),
};
INSTANTIATE_TEST_SUITE_P(SlowSendCmd, Exchange, testing::ValuesIn(kSlowSendCases), CaseName);

const char* const kFileRequest = "SendFileCmd({home}/comandos 1.txt)";

Case FromFile(std::string name, std::vector<std::string> printer, std::string content,
              Result result, std::vector<std::string> received) {
  return {.name = std::move(name),
          .printer = std::move(printer),
          .request = kFileRequest,
          .result = std::move(result),
          .received = std::move(received),
          .input = HomeFile{"comandos 1.txt", std::move(content)}};
}

const std::vector<std::string> kRefuseB = {"--rule", "B=refuse:4060"};

const Case kFileCases[] = {
    FromFile("AllLinesAccepted", {}, "uno\r\ndos dos\nTRES", {"3", 0, 0},
             {Cmd("uno"), Cmd("dos dos"), Cmd("TRES")}),
    FromFile("StopsAtTheFirstFailure", kRefuseB, "A1\nB2\nC3\n", {"1", 1, 96},
             {Cmd("A1"), Cmd("B2"), kAck}),
    FromFile("RefusalThatDecodesAsSuccessCounts", {"--rule", "B=refuse:4041"}, "A1\nB2\nC3\n",
             {"3", 0, 0}, {Cmd("A1"), Cmd("B2"), kAck, Cmd("C3")}),
    FromFile("StopsAtALineHoldingAFramingByte", {},
             "A1\nB\x02"
             "2\nC3\n",
             {"1", 0, 146}, {Cmd("A1")}),
    // The tool's own NUL would end the text: the line is refused, not cut.
    FromFile("StopsAtALineHoldingANul", {},
             std::string("A1\nB\0"
                         "2\nC3\n",
                         10),
             {"1", 0, 146}, {Cmd("A1")}),
    FromFile("OnlySkippedLines", {}, "\n\tnota\n\r\n\x01x\n", {"0", 0, 92}, {}),
    FromFile("SkipsControlLinesAndEndsAtControlZ", {},
             "\n\tnota\r\nA\n B\n\x1A"
             "C\n",
             {"2", 0, 0}, {Cmd("A"), Cmd(" B")}),
    {.name = "MissingFile",
     .request = "SendFileCmd({home}/no such file.txt)",
     .result = {"0", 0, 153},
     .received = {}},
    {.name = "DirectoryIsNoCommandFile",
     .request = "SendFileCmd({home})",
     .result = {"0", 0, 153},
     .received = {}},
    {.name = "NoPath", .request = "SendFileCmd", .result = {"0", 0, 153}, .received = {}},
    // Read whole before anything is sent: a device that never ends is too long.
    {.name = "EndlessDevice",
     .request = "SendFileCmd(/dev/zero)",
     .result = {"0", 0, 153},
     .received = {}},
};
INSTANTIATE_TEST_SUITE_P(SendFileCmd, Exchange, testing::ValuesIn(kFileCases), CaseName);

// A pipe on stdin as the command file: printf 'A\n' | vexolant
// "SendFileCmd(/dev/stdin)". The writer may still be writing when the tool
// starts; the file ends when the writer closes the pipe.
class PipedCommands : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(pipe2(fds_, O_CLOEXEC), 0);
  }
  void TearDown() override {
    CloseEnd(0);
    CloseEnd(1);
    E2eTest::TearDown();
  }
  void Feed(const std::string& bytes) {
    ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  ToolProcess StartReading() {
    ToolProcess tool = StartTool("SendFileCmd(/dev/stdin)", {}, "", fds_[0]);
    CloseEnd(0);
    return tool;
  }
  void CloseEnd(int end) {
    if (fds_[end] >= 0) close(fds_[end]);
    fds_[end] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST_F(PipedCommands, LinesAreSentOnceTheWriterCloses) {
  E2E_NATIVE_ONLY("a pipe on /dev/stdin is POSIX's");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  Feed("A\n");
  ToolProcess tool = StartReading();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Feed(
      "B\n\x1A"
      "C\n");
  CloseEnd(1);
  ExpectReported(tool.Finish(), {"2", 0, 0});
  StopPrinter();
  EXPECT_EQ(printer().Received(), (std::vector<std::string>{Cmd("A"), Cmd("B")}));
}

// mkfifo f; vexolant "SendFileCmd(f)" & producer > f: the tool opens the FIFO
// before its writer does and waits for it.
TEST_F(PipedCommands, AFifoWhoseWriterComesSecondIsRead) {
  E2E_NATIVE_ONLY("FIFOs are POSIX files");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  const std::string fifo = HomePath("commands");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ToolProcess tool = StartTool("SendFileCmd(" + fifo + ")");
  // The writer's open succeeds only while the tool holds the reading end: it
  // comes well after the tool's first read, and tries again for a tool that
  // starts slowly (under valgrind); a tool that has gone leaves ENXIO.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int fd = -1;
  for (int tries = 0; fd < 0 && tries < 250; ++tries) {
    fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(fd, 0) << "the tool did not wait for the writer: " << std::strerror(errno);
  if (fd >= 0) {
    const std::string bytes =
        "abc\x1A"
        "def\nghi\n";
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  ExpectReported(tool.Finish(), {"1", 0, 0});
  StopPrinter();
  EXPECT_EQ(printer().Received(), std::vector<std::string>{Cmd("abc")});
}

// A writer that holds the pipe open and sends nothing: 10 s after the last
// byte the file is refused, nothing sent.
class SlowPipedCommands : public PipedCommands {};

TEST_F(SlowPipedCommands, SilentWriterIs153After10s) {
  E2E_NATIVE_ONLY("a pipe on /dev/stdin is POSIX's");
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  Feed("A\n");
  const ToolRun run = StartReading().Finish();
  CloseEnd(1);
  ExpectReported(run, {"0", 0, 153});
  EXPECT_GE(run.Ms(), 9900);
  EXPECT_LT(run.Ms(), 12500);
  StopPrinter();
  EXPECT_EQ(printer().Received(), std::vector<std::string>{});
}

class ReadEnd : public E2eTest {};

// An ACK followed 20 ms later by a stray byte: the default read takes both
// and judges the answer invalid; a read that ends at a whole reply takes the
// ACK alone and leaves the stray byte to the next exchange's purge.
TEST_F(ReadEnd, CompleteReadTakesAWholeReplyWithoutTheStrayByteThatFollows) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({"--rule", "X=split:1:20,garbage:0641"}));
  ExpectReported(RunTool("SendCmd(Xyz)"), {"FALSE", 0, 144});
  ExpectReported(RunTool("SendCmd(Xyz)", {{"VEXOLANT_READ_END", "gap"}}), {"FALSE", 0, 144});
  const ToolRun complete = RunTool("SendCmd(Xyz)", {{"VEXOLANT_READ_END", "complete"}});
  ExpectReported(complete, {"TRUE", 0, 0});
  StopPrinter();
  EXPECT_EQ(printer().Received(), (std::vector<std::string>{Cmd("Xyz"), Cmd("Xyz"), Cmd("Xyz")}));
}

}  // namespace
}  // namespace e2e
