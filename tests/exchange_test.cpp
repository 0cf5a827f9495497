// The common attempt loop and its outcome, run through every operation that
// uses it: the same script must give the same requests, pauses and outcome.
#include "link/exchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_port.h"
#include "link/frame.h"
#include "link/outcome.h"
#include "printer/operations.h"
#include "scratch_dir.h"

using namespace vexolant;

namespace {

const std::vector<uint8_t> kNak = {ASCII_NAK};
const std::vector<uint8_t> kSilence = {};
constexpr int32_t kOsError = 31;

// What an operation delivered, as an outcome code: 0 for success.
struct LoopOperation {
  const char* name;
  int32_t (*run)(Port* port, const std::string& dir);
  std::vector<uint8_t> request;
  uint32_t readSize;
  bool deliversCode;  // CheckFprinter only tells success from failure
};

int32_t RunCheck(Port* port, const std::string&) {
  return CheckFprinter(port) == 1 ? 0 : -1;
}

int32_t Delivered(int32_t result, int32_t status, int32_t error) {
  EXPECT_EQ(status, 0);
  EXPECT_EQ(result, error == 0 ? 1 : 0);
  return error;
}

int32_t RunReadStatus(Port* port, const std::string&) {
  int32_t status = -1, error = -1;
  const int32_t result = ReadFpStatus(port, &status, &error);
  return Delivered(result, status, error);
}

int32_t RunSend(Port* port, const std::string&) {
  int32_t status = -1, error = -1;
  const int32_t result = SendCmd(port, &status, &error, "abc");
  return Delivered(result, status, error);
}

int32_t RunUploadReport(Port* port, const std::string& dir) {
  int32_t status = -1, error = -1;
  const std::string path = dir + "/Reporte.txt";
  const int32_t result = UploadReportCmd(port, &status, &error, "abc", path.c_str());
  EXPECT_EQ(ReadBytes(path), "") << "a first answer alone stores nothing";
  return Delivered(result, status, error);
}

const LoopOperation kLoopOperations[] = {
    {"CheckFprinter", RunCheck, {ASCII_ENQ}, 9, false},
    {"ReadFpStatus", RunReadStatus, {ASCII_ENQ}, 9, true},
    {"SendCmd", RunSend, Frame("abc"), 9, true},
    {"UploadReportCmd", RunUploadReport, Frame("abc"), 5, true},
};

struct LoopCase {
  const char* name;
  std::vector<std::vector<uint8_t>> replies;  // an empty reply is silence
  int readError;                              // after the replies, when nonzero
  int failWrite;                              // index of a failing write, or -1
  int32_t outcome;
  size_t requests;   // writes, the failing one included
  size_t nakPauses;  // 1500 ms pauses
};

const LoopCase kLoopCases[] = {
    {"status frame at once", {StatusFrame({0, 0})}, 0, -1, 0, 1, 0},
    {"NAK, then a frame", {kNak, StatusFrame({0, 0})}, 0, -1, 0, 2, 1},
    {"NAK, NAK, then a frame", {kNak, kNak, StatusFrame({0, 0})}, 0, -1, 0, 3, 2},
    {"three NAKs", {kNak, kNak, kNak}, 0, -1, FP_NAK_ERROR, 3, 2},
    {"three silences", {kSilence, kSilence, kSilence}, 0, -1, FP_NO_ANSWER, 3, 0},
    {"NAK then silence: the last attempt decides",
     {kNak, kSilence, kSilence},
     0,
     -1,
     FP_NO_ANSWER,
     3,
     1},
    {"silence then NAK: the last attempt decides",
     {kSilence, kSilence, kNak},
     0,
     -1,
     FP_NAK_ERROR,
     3,
     0},
    {"silence, NAK, NAK", {kSilence, kNak, kNak}, 0, -1, FP_NAK_ERROR, 3, 1},
    {"no fourth attempt",
     {kSilence, kSilence, kSilence, StatusFrame({0, 0})},
     0,
     -1,
     FP_NO_ANSWER,
     3,
     0},
    {"bad LRC ends at once",
     {Bytes({0x02, 0x40, 0x40, 0x03, 0x00}), kNak},
     0,
     -1,
     FP_ANSWER_ERROR,
     1,
     0},
    {"unknown control byte", {Bytes({0x41})}, 0, -1, FP_ANSWER_ERROR, 1, 0},
    {"valid 4-byte frame", {Frame("A")}, 0, -1, FP_ANSWER_ERROR, 1, 0},
    {"two bytes", {Bytes({0x02, 0x03})}, 0, -1, FP_ANSWER_ERROR, 1, 0},
    {"read error", {}, kOsError, -1, FP_PORT_ERROR, 1, 0},
    {"NAK, then a read error", {kNak}, kOsError, -1, FP_PORT_ERROR, 2, 1},
    {"write error", {StatusFrame({0, 0})}, 0, 0, FP_PORT_ERROR, 1, 0},
    {"NAK, then a failing resend", {kNak, StatusFrame({0, 0})}, 0, 1, FP_PORT_ERROR, 2, 1},
    {"silence, then a failing resend", {kSilence, kNak}, 0, 1, FP_PORT_ERROR, 2, 0},
};

TEST(AttemptLoop, SameScriptSameExchangeInEveryOperation) {
  for (const LoopOperation& op : kLoopOperations) {
    for (const LoopCase& c : kLoopCases) {
      SCOPED_TRACE(std::string(op.name) + ": " + c.name);
      ScratchDir dir;
      FakePort port;
      for (const std::vector<uint8_t>& reply : c.replies) port.Reply(reply);
      if (c.readError != 0) port.ReadError(c.readError);
      if (c.failWrite >= 0) port.FailWrite(static_cast<size_t>(c.failWrite), kOsError);

      const int32_t outcome = op.run(port, dir.Path().string());

      EXPECT_EQ(outcome, op.deliversCode ? c.outcome : (c.outcome == 0 ? 0 : -1));
      EXPECT_EQ(port.Count(FakeEvent::Purge), 1u);
      const std::vector<std::vector<uint8_t>> writes = port.Writes();
      ASSERT_EQ(writes.size(), c.requests);
      for (const std::vector<uint8_t>& w : writes) EXPECT_EQ(w, op.request);
      EXPECT_EQ(port.PausesOf(kNakPauseMs), c.nakPauses);
      const size_t failedWrites = c.failWrite >= 0 ? 1 : 0;
      EXPECT_EQ(port.PausesOf(kReplyPauseMs), c.requests - failedWrites);
      EXPECT_EQ(port.Count(FakeEvent::Read), c.requests - failedWrites);
      for (uint32_t size : port.ReadSizes()) EXPECT_EQ(size, op.readSize);
    }
  }
}

// A lone ACK accepts a command; for the enquiries and the report it is a
// wrong answer, and nothing is sent again.
TEST(AttemptLoop, LoneAckAcceptsOnlyACommand) {
  for (const LoopOperation& op : kLoopOperations) {
    SCOPED_TRACE(op.name);
    ScratchDir dir;
    FakePort port;
    port.Reply({ASCII_ACK});
    const int32_t expected = std::string(op.name) == "SendCmd" ? 0 : FP_ANSWER_ERROR;
    EXPECT_EQ(op.run(port, dir.Path().string()), op.deliversCode ? expected : -1);
    EXPECT_EQ(port.Writes().size(), 1u);
  }
}

TEST(AttemptLoop, LoneEnqIsAWrongAnswerToAnEnquiry) {
  FakePort port;
  port.Reply({ASCII_ENQ}).Reply({ASCII_ENQ});
  int32_t status = -1, error = -1;
  EXPECT_EQ(ReadFpStatus(port, &status, &error), 0);
  EXPECT_EQ(error, FP_ANSWER_ERROR);
  EXPECT_EQ(CheckFprinter(port), 0);
  EXPECT_EQ(port.Writes().size(), 2u);
}

TEST(AttemptLoop, FailedPurgeSendsNothing) {
  for (const LoopOperation& op : kLoopOperations) {
    SCOPED_TRACE(op.name);
    ScratchDir dir;
    FakePort port;
    port.FailPurge(kOsError);
    port.Reply(StatusFrame({0, 0}));
    EXPECT_EQ(op.run(port, dir.Path().string()), op.deliversCode ? FP_PORT_ERROR : -1);
    EXPECT_EQ(port.Count(FakeEvent::Write), 0u);
    EXPECT_EQ(port.Count(FakeEvent::Read), 0u);
    EXPECT_EQ(port.Count(FakeEvent::Sleep), 0u);
  }
}

TEST(AttemptLoop, NineByteFrameAnswersAnEnquiryButNotAReportCommand) {
  const std::vector<uint8_t> nine = StatusFrame({0x40, 0x40, 0, 0, 0, 0});
  {
    FakePort port;
    port.Reply(nine);
    EXPECT_EQ(CheckFprinter(port), 1);
  }
  ScratchDir dir;
  FakePort port;
  port.Reply(nine);
  int32_t status = -1, error = -1;
  EXPECT_EQ(UploadReportCmd(port, &status, &error, "abc", dir.File("r.txt").c_str()), 0);
  EXPECT_EQ(error, FP_ANSWER_ERROR) << "five bytes of a nine-byte frame are no frame";
  EXPECT_EQ(port.ReadSizes(), std::vector<uint32_t>{5});
}

TEST(Outcome, PortErrorOutranksEveryFlagAndTheFlagsHaveAnOrder) {
  struct Case {
    int32_t osError;
    bool answer, notAnswer, nak;
    int32_t code;
  } cases[] = {
      {5, true, true, true, FP_PORT_ERROR}, {0, true, true, true, FP_ANSWER_ERROR},
      {0, false, true, true, FP_NO_ANSWER}, {0, false, false, true, FP_NAK_ERROR},
      {0, false, false, false, 0},
  };
  for (const Case& c : cases) {
    ExchangeState state;
    state.osError = c.osError;
    state.bAnswer_Error = c.answer;
    state.bNotAnswer_Error = c.notAnswer;
    state.bNAK_Error = c.nak;
    EXPECT_EQ(JudgeExchange(state, nullptr, nullptr), c.code);
  }
}

// --- Block collection ------------------------------------------------------

struct Collected {
  std::string bytes;
  std::vector<uint32_t> readSizes;
  int32_t osError;
};

Collected Collect(FakePort& port, uint32_t piece) {
  Block block;
  int32_t osError = 0;
  CollectBlock(port, &block, piece, nullptr, "SendCmd: Input2", &osError);
  return {std::string(block.bytes, block.bytes + block.length), port.ReadSizes(), osError};
}

std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(CollectBlock, StopsOnceTheFirstTerminatorHasItsCheckByte) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> replies;
    uint32_t piece;
    std::string expected;
    std::vector<uint32_t> readSizes;
  } cases[] = {
      {"one read", {Frame("ab")}, 5, Text(Frame("ab")), {5}},
      {"in pieces", {Frame("abcdefghij")}, 5, Text(Frame("abcdefghij")), {5, 5, 5}},
      {"terminator ends a read, check byte comes with the next",
       {Frame("abc")},
       5,
       Text(Frame("abc")),
       {5, 5}},
      {"ETB ends a block too", {Frame("abc", ASCII_ETB)}, 9, Text(Frame("abc", ASCII_ETB)), {9}},
      {"the first terminator counts",
       {Bytes({2, 3, 'a', 3}), Bytes({'z'})},
       4,
       Text(Bytes({2, 3, 'a', 3})),
       {4}},
      {"an empty read ends a partial block",
       {Bytes({2, 'a', 'b', 'c', 'd'}), {}},
       5,
       Text(Bytes({2, 'a', 'b', 'c', 'd'})),
       {5, 5}},
      {"nothing at all", {{}}, 9, "", {9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    for (const auto& r : c.replies) port.Reply(r);
    const Collected got = Collect(port, c.piece);
    EXPECT_EQ(got.bytes, c.expected);
    EXPECT_EQ(got.readSizes, c.readSizes);
    EXPECT_EQ(got.osError, 0);
  }
}

TEST(CollectBlock, NeverReadsPastTheBuffer) {
  FakePort port;
  port.Reply(std::vector<uint8_t>(5000, 'x'));
  const Collected got = Collect(port, 9);
  EXPECT_EQ(got.bytes.size(), kBlockCapacity);
  uint32_t asked = 0;
  for (uint32_t size : got.readSizes) asked += size;
  EXPECT_EQ(asked, kBlockCapacity);
  EXPECT_EQ(got.readSizes.back(), kBlockCapacity % 9);
}

TEST(CollectBlock, ReadErrorEndsTheCollection) {
  FakePort port;
  port.Reply(Bytes({2, 'a'})).ReadError(kOsError).Reply(Bytes({3, 0x62}));
  const Collected got = Collect(port, 2);
  EXPECT_EQ(got.osError, kOsError);
  EXPECT_EQ(got.readSizes.size(), 2u);
}

}  // namespace
