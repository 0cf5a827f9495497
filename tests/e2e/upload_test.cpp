// UploadReportCmd and UploadStatusCmd: the blocks the printer sends, the
// tool's acknowledgements, and the files they leave (CR LF line ends).
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

#include "harness.h"

namespace e2e {
namespace {

// R... commands are answered by the rule of the case.
Case Report(std::string name, std::string steps, Result result, std::string file,
            std::vector<std::string> received, Check check = {}) {
  return {.name = std::move(name),
          .printer = {"--rule", "R=" + std::move(steps)},
          .request = "UploadReportCmd(R)",
          .result = std::move(result),
          .received = std::move(received),
          .output = HomeFile{"Reporte.txt", std::move(file)},
          .check = std::move(check)};
}

const std::string kR = Cmd("R");

// A transfer that ends well waits out one more 5-byte read after the last
// block (5 s), so the fast cases end theirs by a fault.
const Case kReportCases[] = {
    Report("HangUpMidTransferKeepsEarlierLines", "hangup:2,report:3:Line %d", {"FALSE", 0, 145},
           "Line 1\r\nLine 2\r\n", {kR, kAck, kAck, kAck}),
    Report("BlockTextKeepsCrAndDropsLf", "hangup:2,report:3:A\\r\\nB|C\\nD", {"FALSE", 0, 145},
           "A\rB\r\nCD\r\n", {kR, kAck, kAck, kAck}),
    Report("BlocksInPiecesAreCollected", "hangup:1,split:3:30,report:2:Hello world",
           {"FALSE", 0, 145}, "Hello world\r\n", {kR, kAck, kAck}),
    Report("WrongCheckByteKeepsEarlierBlocks", "badlrc:2,report:3:Line %d", {"FALSE", 0, 144},
           "Line 1\r\n", {kR, kAck, kAck}),
    Report("AckIsAWrongFirstAnswer", "ack", {"FALSE", 0, 144}, "", {kR}),
    Report("StatusFrameInsteadOfAReport", "status", {"TRUE", 0, 0}, "", {kR}),
};
INSTANTIATE_TEST_SUITE_P(UploadReportCmd, Exchange, testing::ValuesIn(kReportCases), CaseName);

const Case kSlowReportCases[] = {
    Report("ThreeBlocks", "report:3:Line %d", {"TRUE", 0, 0}, "Line 1\r\nLine 2\r\nLine 3\r\n",
           {kR, kAck, kAck, kAck, kAck}, EndsAfterLast("recv", 4800, 6500)),
    Report("PrinterStopsAfterOneBlock", "stop:1,report:3:Line %d", {"FALSE", 0, 137}, "Line 1\r\n",
           {kR, kAck, kAck}, EndsAfterLast("recv", 9600, 12000)),
};
INSTANTIATE_TEST_SUITE_P(SlowUploadReportCmd, Exchange, testing::ValuesIn(kSlowReportCases),
                         CaseName);

// S... commands are answered by the rule of the case.
Case StatusReply(std::string name, std::string steps, Result result, std::string file,
                 std::vector<std::string> received, Check check = {}) {
  return {.name = std::move(name),
          .printer = {"--rule", "S=" + std::move(steps)},
          .request = "UploadStatusCmd(S)",
          .result = std::move(result),
          .received = std::move(received),
          .output = HomeFile{"Status.txt", std::move(file)},
          .check = std::move(check)};
}

const std::string kS = Cmd("S");

const Case kStatusReplyCases[] = {
    StatusReply("OneBlock", "block:Ready 1", {"TRUE", 0, 0}, "Ready 1\r\n", {kS, kAck}),
    StatusReply("BlockEndingWithEtb", "etb,block:Ready", {"TRUE", 0, 0}, "Ready\r\n", {kS, kAck}),
    StatusReply("BlockInPiecesKeepsCrAndDropsLf", "split:4:30,block:Line\\r\\none two",
                {"TRUE", 0, 0}, "Line\rone two\r\n", {kS, kAck}),
    StatusReply("WrongCheckByte", "badlrc,block:Ready", {"FALSE", 0, 144}, "", {kS}),
};
INSTANTIATE_TEST_SUITE_P(UploadStatusCmd, Exchange, testing::ValuesIn(kStatusReplyCases), CaseName);

// The frame goes out once and is never sent again. A silent printer costs
// three 9-byte reads; a lone NAK is not a block, so it is read on until a
// read brings nothing.
const Case kSlowStatusReplyCases[] = {
    StatusReply("SilentPrinter", "silent", {"FALSE", 0, 137}, "", {kS},
                EndsAfterLast("recv", 26500, 31000)),
    StatusReply("NakIsNotRetried", "nak", {"FALSE", 0, 128}, "", {kS},
                EndsAfterLast("recv", 8800, 10500)),
    // One byte every 4.5 s: the block is cut off 10 s after its first byte.
    StatusReply("DrippingBlockIsCutOff", "split:1:4500,block:Ready", {"FALSE", 0, 144}, "", {kS},
                [](const Printer&, const ToolRun& run) {
                  EXPECT_GE(run.Ms(), 9900);
                  EXPECT_LT(run.Ms(), 12500);
                }),
};
INSTANTIATE_TEST_SUITE_P(SlowUploadStatusCmd, Exchange, testing::ValuesIn(kSlowStatusReplyCases),
                         CaseName);

class Upload : public E2eTest {};

// An output file that cannot be written ends the run before the port is used.
TEST_F(Upload, OutputFileThatCannotBeWrittenSendsNothing) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({}));
  for (const auto& [request, file] : {std::pair{"UploadReportCmd(R)", "Reporte.txt"},
                                      std::pair{"UploadStatusCmd(S)", "Status.txt"}}) {
    SCOPED_TRACE(request);
    std::filesystem::create_directory(HomePath(file));
    ExpectReported(RunTool(request), {"FALSE", 0, 153});
  }
  StopPrinter();
  EXPECT_EQ(printer().Received(), std::vector<std::string>{});
}

// A block that cannot be written gets no ACK: the printer keeps it as not
// delivered, and the upload ends at once.
TEST_F(Upload, FullOutputFileAcknowledgesNoBlock) {
  E2E_NATIVE_ONLY("the case links the output file to /dev/full");
  ASSERT_NO_FATAL_FAILURE(
      StartPrinter({"--rule", "R=report:3:Line %d", "--rule", "S=block:Ready"}));
  for (const auto& [request, file, received] :
       {std::tuple{"UploadReportCmd(R)", "Reporte.txt", std::vector<std::string>{kR, kAck}},
        std::tuple{"UploadStatusCmd(S)", "Status.txt", std::vector<std::string>{kS}}}) {
    SCOPED_TRACE(request);
    std::filesystem::create_symlink("/dev/full", HomePath(file));
    const ToolRun run = RunTool(request);
    ExpectReported(run, {"FALSE", 0, 153});
    EXPECT_LT(run.Ms(), 2000) << "no wait for further blocks";
  }
  StopPrinter();
  EXPECT_EQ(printer().Received(), (std::vector<std::string>{kR, kAck, kS}));
}

// A report that goes on past VEXOLANT_UPLOAD_LIMIT ends at the block over
// the bound, which gets no ACK; the file keeps the whole lines before it.
TEST_F(Upload, ReportPastTheUploadLimitEndsWithoutItsAck) {
  ASSERT_NO_FATAL_FAILURE(StartPrinter({"--rule", "R=report:5:Line %d"}));
  const ToolRun run = RunTool("UploadReportCmd(R)", {{"VEXOLANT_UPLOAD_LIMIT", "16"}});
  ExpectReported(run, {"FALSE", 0, 147});
  EXPECT_LT(run.Ms(), 2000) << "no wait for further blocks";
  EXPECT_EQ(ReadHome("Reporte.txt"), "Line 1\r\nLine 2\r\n");
  StopPrinter();
  EXPECT_EQ(printer().Received(), (std::vector<std::string>{kR, kAck, kAck, kAck}));
}

}  // namespace
}  // namespace e2e
