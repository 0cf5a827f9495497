// Both uploads: the block chain of the report, the single block of the
// status, and the files they leave behind.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>
#include <vector>

#include "fake_port.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "link/outcome.h"
#include "printer/operations.h"
#include "scratch_dir.h"

using namespace vexolant;

namespace {

using Writes = std::vector<std::vector<uint8_t>>;
using Replies = std::vector<std::vector<uint8_t>>;
const std::vector<uint8_t> kAck = {ASCII_ACK};
const std::vector<uint8_t> kNak = {ASCII_NAK};
const std::vector<uint8_t> kEnq = {ASCII_ENQ};
const std::vector<uint8_t> kSilent = {};

std::vector<uint8_t> Etb(const std::string& text) {
  return Frame(text, ASCII_ETB);
}

struct Upload {
  int32_t result, status, error;
  std::string file;
};

using UploadOperation = int32_t (*)(Port*, int32_t*, int32_t*, const char*, const char*);

Upload RunUpload(UploadOperation op, FakePort& port, const Replies& replies, const char* text,
                 const std::string& path) {
  for (const auto& r : replies) port.Reply(r);
  Upload u{-1, -1, -1, ""};
  u.result = op(port, &u.status, &u.error, text, path.c_str());
  u.file = ReadBytes(path);
  return u;
}

size_t AcksWritten(const FakePort& port) {
  size_t acks = 0;
  for (const auto& w : port.Writes()) acks += w == kAck ? 1 : 0;
  return acks;
}

// --- Report upload ---------------------------------------------------------

struct ReportCase {
  const char* name;
  Replies replies;
  int32_t error;
  std::string file;
  size_t acks;
};

const ReportCase kReportCases[] = {
    {"ETB block, ETX block", {kEnq, Etb("L1"), Frame("L2")}, 0, "L1\r\nL2\r\n", 3},
    {"one ETX block", {kEnq, Frame("solo")}, 0, "solo\r\n", 2},
    {"LF dropped, CR kept", {kEnq, Frame("a\r\nb\nc")}, 0, "a\rbc\r\n", 2},
    {"blocks split across reads",
     {kEnq, Etb("a long first line"), Frame("abc")},
     0,
     "a long first line\r\nabc\r\n",
     3},
    {"five-byte reply instead of ENQ", {StatusFrame({0x40, 0x40})}, 0, "", 0},
    {"ACK instead of ENQ", {kAck}, FP_ANSWER_ERROR, "", 0},
    {"NAK three times", {kNak, kNak, kNak}, FP_NAK_ERROR, "", 0},
    {"empty-text block keeps earlier lines",
     {kEnq, Etb("L1"), Frame("")},
     FP_ANSWER_ERROR,
     "L1\r\n",
     2},
    {"bad check byte is not acknowledged",
     {kEnq, Etb("L1"), Bytes({2, 'L', '2', 3, 0})},
     FP_ANSWER_ERROR,
     "L1\r\n",
     2},
    {"ACK in place of a block", {kEnq, Etb("L1"), kAck}, FP_ANSWER_ERROR, "L1\r\n", 2},
    {"ENQ in place of a block", {kEnq, kEnq}, FP_ANSWER_ERROR, "", 1},
    {"NAK in place of a block", {kEnq, Etb("L1"), kNak}, FP_NAK_ERROR, "L1\r\n", 2},
    {"first block missing", {kEnq, kSilent, kSilent, kSilent}, FP_NO_ANSWER, "", 1},
    {"later block missing", {kEnq, Etb("L1"), kSilent, kSilent}, FP_NO_ANSWER, "L1\r\n", 2},
    {"first block after two empty reads", {kEnq, kSilent, kSilent, Frame("L1")}, 0, "L1\r\n", 2},
    {"later block after one empty read",
     {kEnq, Etb("L1"), kSilent, Frame("L2")},
     0,
     "L1\r\nL2\r\n",
     3},
    {"silence then NAK: the last reply decides", {kEnq, kSilent, kNak}, FP_NAK_ERROR, "", 1},
};

TEST(UploadReportCmd, BlockChain) {
  for (const ReportCase& c : kReportCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    FakePort port;
    const Upload u = RunUpload(UploadReportCmd, port, c.replies, "R", dir.File("Reporte.txt"));
    EXPECT_EQ(u.result, c.error == 0 ? 1 : 0);
    EXPECT_EQ(u.status, 0);
    EXPECT_EQ(u.error, c.error);
    EXPECT_EQ(u.file, c.file);
    EXPECT_EQ(AcksWritten(port), c.acks);
    EXPECT_EQ(port.PausesOf(kNakPauseMs), c.error == FP_NAK_ERROR && c.acks == 0 ? 2u : 0u)
        << "a NAK in place of a block is not waited on";
    EXPECT_EQ(port.Writes().front(), Frame("R"));
  }
}

TEST(UploadReportCmd, ReadsOnceMoreAfterTheLastBlock) {
  ScratchDir dir;
  FakePort port;
  const Upload u =
      RunUpload(UploadReportCmd, port, {kEnq, Etb("L1"), Frame("abc")}, "R", dir.File("r.txt"));
  EXPECT_EQ(u.result, 1);
  // The first answer, one read for "L1", two for "abc" (its check byte comes
  // alone), and the read after the last ACK.
  EXPECT_EQ(port.ReadSizes(), (std::vector<uint32_t>{5, 5, 5, 5, 5}));
  const std::vector<FakeEvent>& log = port.Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 3].kind, FakeEvent::Write);
  EXPECT_EQ(log[log.size() - 2].kind, FakeEvent::Sleep);
  EXPECT_EQ(log.back().kind, FakeEvent::Read);
  EXPECT_TRUE(log.back().bytes.empty());
}

TEST(UploadReportCmd, OnlyAFailedReadAfterTheLastBlockCounts) {
  {
    ScratchDir dir;
    FakePort port;
    const Upload u = RunUpload(UploadReportCmd, port, {kEnq, Frame("L1"), Bytes({'x', 'y'})}, "R",
                               dir.File("r.txt"));
    EXPECT_EQ(u.result, 1);
    EXPECT_EQ(u.file, "L1\r\n");
  }
  ScratchDir dir;
  FakePort port;
  port.Reply(kEnq).Reply(Frame("L1")).ReadError(995);
  int32_t status = -1, error = -1;
  EXPECT_EQ(UploadReportCmd(port, &status, &error, "R", dir.File("r.txt").c_str()), 0);
  EXPECT_EQ(error, FP_PORT_ERROR);
  EXPECT_EQ(ReadBytes(dir.File("r.txt")), "L1\r\n");
}

TEST(UploadReportCmd, FirstBlockMayTakeThreeEmptyReadsEveryLaterOneTwo) {
  ScratchDir dir;
  FakePort port;
  const Upload u = RunUpload(UploadReportCmd, port,
                             {kEnq, kSilent, kSilent, Etb("L1"), kSilent, kSilent, Frame("L2")},
                             "R", dir.File("r.txt"));
  EXPECT_EQ(u.error, FP_NO_ANSWER);
  EXPECT_EQ(u.file, "L1\r\n");
  EXPECT_EQ(port.Count(FakeEvent::Read), 6u);
  EXPECT_EQ(port.PendingReplies(), 1u);
}

TEST(UploadReportCmd, PortFailuresKeepWhatWasStored) {
  struct Case {
    const char* name;
    int failWrite;  // index among all writes, or -1
    bool readErrorInBlock;
    std::string file;
  } cases[] = {
      {"command write", 0, false, ""},
      {"ACK of the ENQ", 1, false, ""},
      {"ACK of the first block", 2, false, "L1\r\n"},
      {"read of the second block", -1, true, "L1\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    FakePort port;
    port.Reply(kEnq).Reply(Etb("L1"));
    if (c.readErrorInBlock) port.ReadError(1);
    port.Reply(Frame("L2"));
    if (c.failWrite >= 0) port.FailWrite(static_cast<size_t>(c.failWrite), 1);
    int32_t status = -1, error = -1;
    EXPECT_EQ(UploadReportCmd(port, &status, &error, "R", dir.File("r.txt").c_str()), 0);
    EXPECT_EQ(error, FP_PORT_ERROR);
    EXPECT_EQ(ReadBytes(dir.File("r.txt")), c.file);
  }
}

// --- Status upload ---------------------------------------------------------

struct StatusCase {
  const char* name;
  Replies replies;
  int32_t error;
  std::string file;
  size_t acks;
  size_t reads;
};

const StatusCase kStatusCases[] = {
    {"one block", {Frame("estado")}, 0, "estado\r\n", 1, 1},
    {"ETB is stored like ETX", {Etb("estado")}, 0, "estado\r\n", 1, 1},
    {"LF dropped, CR kept", {Frame("a\r\nb")}, 0, "a\rb\r\n", 1, 1},
    {"check byte in the next read", {Frame("abcdefg")}, 0, "abcdefg\r\n", 1, 2},
    {"long block in pieces", {Frame(std::string(30, 'z'))}, 0, std::string(30, 'z') + "\r\n", 1, 4},
    {"block after an empty read", {kSilent, Frame("tarde")}, 0, "tarde\r\n", 1, 2},
    {"silence", {kSilent, kSilent, kSilent}, FP_NO_ANSWER, "", 0, 3},
    {"bad check byte", {Bytes({2, 'a', 'b', 3, 0x55})}, FP_ANSWER_ERROR, "", 0, 1},
    {"empty text", {Frame("")}, FP_ANSWER_ERROR, "", 0, 1},
    // A lone control byte ends no block: the next read brings nothing.
    {"ACK", {kAck}, FP_ANSWER_ERROR, "", 0, 2},
    {"ENQ", {kEnq}, FP_ANSWER_ERROR, "", 0, 2},
    {"NAK is not retried", {kNak}, FP_NAK_ERROR, "", 0, 2},
};

TEST(UploadStatusCmd, SingleBlock) {
  for (const StatusCase& c : kStatusCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    FakePort port;
    const Upload u = RunUpload(UploadStatusCmd, port, c.replies, "S", dir.File("Status.txt"));
    EXPECT_EQ(u.result, c.error == 0 ? 1 : 0);
    EXPECT_EQ(u.status, 0);
    EXPECT_EQ(u.error, c.error);
    EXPECT_EQ(u.file, c.file);
    EXPECT_EQ(port.Writes().size(), 1 + c.acks) << "the command is written once";
    EXPECT_EQ(AcksWritten(port), c.acks);
    EXPECT_EQ(port.ReadSizes(), std::vector<uint32_t>(c.reads, 9)) << "no read after the ACK";
    EXPECT_EQ(port.PausesOf(kNakPauseMs), 0u);
  }
}

TEST(UploadStatusCmd, FailedAckStillLeavesTheText) {
  ScratchDir dir;
  FakePort port;
  port.FailWrite(1, 4);
  const Upload u = RunUpload(UploadStatusCmd, port, {Frame("estado")}, "S", dir.File("s.txt"));
  EXPECT_EQ(u.error, FP_PORT_ERROR);
  EXPECT_EQ(u.file, "estado\r\n");
}

// --- Both uploads ----------------------------------------------------------

TEST(Uploads, OutputFileThatCannotBeOpenedLeavesThePortAlone) {
  ScratchDir dir;
  const std::string unopenable = dir.File("no-such-dir/out.txt");
  for (UploadOperation op : {UploadReportCmd, UploadStatusCmd}) {
    FakePort port;
    int32_t status = -1, error = -1;
    EXPECT_EQ(op(port, &status, &error, "X", unopenable.c_str()), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(error, FP_FILE_ERROR);
    EXPECT_TRUE(port.Log().empty());
  }
}

// Not on Windows: it has no device like /dev/full, on which every write fails,
// nor FIFOs among files.
#ifndef _WIN32
// An output file that is a FIFO would block the open until a reader came.
TEST(Uploads, FifoAsOutputFileIsRefusedWithoutWaiting) {
  ScratchDir dir;
  const std::string fifo = dir.File("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (UploadOperation op : {UploadReportCmd, UploadStatusCmd}) {
    FakePort port;
    int32_t status = -1, error = -1;
    EXPECT_EQ(op(port, &status, &error, "X", fifo.c_str()), 0);
    EXPECT_EQ(error, FP_FILE_ERROR);
    EXPECT_TRUE(port.Log().empty());
  }
}

// A block that cannot be written gets no ACK: the printer must not count it
// as delivered. The upload ends at once with 153.
TEST(Uploads, BlockThatCannotBeWrittenGetsNoAck) {
  struct Case {
    UploadOperation op;
    Replies replies;
    size_t acks;  // the report's ENQ is acknowledged before any block
  } cases[] = {
      {UploadReportCmd, {kEnq, Etb("L1"), Frame("L2")}, 1},
      {UploadStatusCmd, {Frame("estado")}, 0},
  };
  for (const Case& c : cases) {
    FakePort port;
    for (const auto& r : c.replies) port.Reply(r);
    int32_t status = -1, error = -1;
    EXPECT_EQ(c.op(port, &status, &error, "X", "/dev/full"), 0);  // every write fails there
    EXPECT_EQ(error, FP_FILE_ERROR);
    EXPECT_EQ(AcksWritten(port), c.acks);
    EXPECT_EQ(port.Count(FakeEvent::Read), c.op == UploadReportCmd ? 2u : 1u)
        << "nothing is read after the failed block";
  }
}
#endif

// Each block is written whole, then synced, then acknowledged: the printer
// counts an acknowledged block as delivered, so it must be on the disk by
// then. A sync that fails is a block that was not stored: no ACK, 153.
TEST(Uploads, EachBlockIsWrittenThenSyncedThenAcknowledged) {
  struct Case {
    const char* name;
    UploadOperation op;
    Replies replies;
    int failedSync;  // index of the sync that fails, or -1
    int32_t error;
    // In order: "ACK", or the file's size on disk when a sync was asked for.
    std::vector<std::string> steps;
  } cases[] = {
      {"report",
       UploadReportCmd,
       {kEnq, Etb("L1"), Etb("L22"), Frame("L333")},
       -1,
       0,
       {"ACK", "4", "ACK", "9", "ACK", "15", "ACK"}},
      {"status", UploadStatusCmd, {Frame("estado")}, -1, 0, {"8", "ACK"}},
      {"report, second sync fails",
       UploadReportCmd,
       {kEnq, Etb("L1"), Etb("L22"), Frame("L333")},
       1,
       FP_FILE_ERROR,
       {"ACK", "4", "ACK", "9"}},
      {"status, sync fails", UploadStatusCmd, {Frame("estado")}, 0, FP_FILE_ERROR, {"8"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    FakePort port;
    if (c.failedSync >= 0) port.FailSync(static_cast<size_t>(c.failedSync), 5);
    const Upload u = RunUpload(c.op, port, c.replies, "X", dir.File("out.txt"));
    EXPECT_EQ(u.error, c.error);
    std::vector<std::string> steps;
    for (const FakeEvent& e : port.Log()) {
      if (e.kind == FakeEvent::Sync) steps.push_back(std::to_string(e.value));
      if (e.kind == FakeEvent::Write && e.bytes == kAck) steps.push_back("ACK");
    }
    EXPECT_EQ(steps, c.steps);
  }
}

// A printer that drips a block's bytes one at a time cannot hold the port:
// 10 s after the block's first byte it is cut off, an invalid answer.
TEST(Uploads, DrippingBlockIsCutOffTenSecondsAfterItsFirstByte) {
  for (UploadOperation op : {UploadReportCmd, UploadStatusCmd}) {
    ScratchDir dir;
    FakePort port;
    if (op == UploadReportCmd) port.Reply(kEnq);
    for (uint8_t byte : Frame(std::string(40, 'd'))) port.Late({byte}, 4500);
    int32_t status = -1, error = -1;
    EXPECT_EQ(op(port, &status, &error, "X", dir.File("out.txt").c_str()), 0);
    EXPECT_EQ(error, FP_ANSWER_ERROR);
    EXPECT_EQ(AcksWritten(port), op == UploadReportCmd ? 1u : 0u);
    EXPECT_EQ(ReadBytes(dir.File("out.txt")), "");
    EXPECT_LE(port.ElapsedMs(), 4500u + kBlockDeadlineMs + 200u);
  }
}

TEST(Uploads, BlockThatEndsJustInsideTheDeadlineIsTaken) {
  ScratchDir dir;
  FakePort port;
  const std::vector<uint8_t> block = Frame("ab");  // 5 bytes, the last 9.6 s after the first
  for (size_t i = 0; i < block.size(); ++i) port.Late({block[i]}, i == 0 ? 0 : 2400);
  int32_t status = -1, error = -1;
  EXPECT_EQ(UploadStatusCmd(port, &status, &error, "S", dir.File("s.txt").c_str()), 1);
  EXPECT_EQ(ReadBytes(dir.File("s.txt")), "ab\r\n");
}

// The printer would read such a text as more than one frame (and a retry
// would repeat them all): nothing is sent, the output file is left alone.
TEST(Uploads, TextHoldingAFramingByteIsRefusedUntouched) {
  for (UploadOperation op : {UploadReportCmd, UploadStatusCmd}) {
    ScratchDir dir;
    WriteBytes(dir.File("out.txt"), "last report");
    FakePort port;
    int32_t status = -1, error = -1;
    EXPECT_EQ(op(port, &status, &error,
                 "A\x03"
                 "B",
                 dir.File("out.txt").c_str()),
              0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(error, FP_TEXT_ERROR);
    EXPECT_TRUE(port.Log().empty());
    EXPECT_EQ(ReadBytes(dir.File("out.txt")), "last report");
  }
}

// Reads that end at a whole reply: the read after the last block waits the
// read gap instead of 5 s; the blocks' reads are unchanged.
TEST(Uploads, CompleteReadsShortenOnlyTheWaitAfterTheLastBlock) {
  for (ReadEnd mode : {ReadEnd::Gap, ReadEnd::Complete}) {
    ScratchDir dir;
    FakePort port;
    port.Link()->readEnd = mode;
    const Upload u =
        RunUpload(UploadReportCmd, port, {kEnq, Etb("L1"), Frame("L2")}, "R", dir.File("r.txt"));
    EXPECT_EQ(u.result, 1);
    EXPECT_EQ(u.file, "L1\r\nL2\r\n");
    const std::vector<uint32_t> limits = port.ReadLimits();
    EXPECT_EQ(limits.back(), mode == ReadEnd::Complete ? kInterByteGapMs : kNoReadLimit);
  }
}

TEST(Uploads, FailedPurgeSendsNothingAndEmptiesTheFile) {
  for (UploadOperation op : {UploadReportCmd, UploadStatusCmd}) {
    ScratchDir dir;
    WriteBytes(dir.File("out.txt"), "old content");
    FakePort port;
    port.FailPurge(5);
    int32_t status = -1, error = -1;
    EXPECT_EQ(op(port, &status, &error, "X", dir.File("out.txt").c_str()), 0);
    EXPECT_EQ(error, FP_PORT_ERROR);
    EXPECT_EQ(port.Count(FakeEvent::Write), 0u);
    EXPECT_EQ(ReadBytes(dir.File("out.txt")), "");
  }
}

TEST(Uploads, AbsentTextSendsTheEmptyFrame) {
  for (UploadOperation op : {UploadReportCmd, UploadStatusCmd}) {
    ScratchDir dir;
    FakePort port;
    port.Reply(kAck);
    int32_t status = -1, error = -1;
    op(port, &status, &error, nullptr, dir.File("out.txt").c_str());
    EXPECT_EQ(port.Writes().front(), Bytes({0x02, 0x03, 0x03}));
  }
}

}  // namespace
