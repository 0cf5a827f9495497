// Status read: which frame gives which codes, and the read without enquiry
// that follows a refused command.
#include <gtest/gtest.h>

#include <vector>

#include "fake_port.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "link/outcome.h"
#include "printer/operations.h"

using namespace vexolant;

namespace {

TEST(ReadFpOrignalStatus, FrameCodesOfShortAndLongFrames) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    int32_t frameStatus, frameError;
  } cases[] = {
      {"short frame: D1 and D2", StatusFrame({0x40, 0x41}), 64, 65},
      {"short frame: bytes are signed", StatusFrame({0xA0, 0x81}), -96, -127},
      {"short frame ending in ETB", Frame("\x40\x40", ASCII_ETB), 64, 64},
      {"long frame: folded", StatusFrame({0x60, 0x82, 0, 0x54, 0, 0}), 386, 84},
      {"long frame: D1 and D4 as they are", StatusFrame({0x50, 0, 0, 0x20, 0, 0x7F}), 80, 32},
      {"long frame: signed D4", StatusFrame({0, 0, 0, 0x90, 0, 0}), 0, -112},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    port.Reply(c.frame);
    int32_t frameStatus = -1, frameError = -1;
    EXPECT_EQ(ReadFpOrignalStatus(port, &frameStatus, &frameError, 1), 1);
    EXPECT_EQ(frameStatus, c.frameStatus);
    EXPECT_EQ(frameError, c.frameError);
    EXPECT_EQ(port.Writes(), std::vector<std::vector<uint8_t>>{{ASCII_ENQ}});
  }
}

TEST(ReadFpOrignalStatus, FailureDeliversZeroAndTheOutcome) {
  FakePort port;
  port.Silence(3);
  int32_t frameStatus = -1, frameError = -1;
  EXPECT_EQ(ReadFpOrignalStatus(port, &frameStatus, &frameError, 1), 0);
  EXPECT_EQ(frameStatus, 0);
  EXPECT_EQ(frameError, FP_NO_ANSWER);
}

TEST(ReadFpOrignalStatus, WithoutEnquiryOnlyReads) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> replies;
    int32_t result, frameError;
    size_t reads, nakPauses;
  } cases[] = {
      {"frame at once", {StatusFrame({0x40, 0x40})}, 1, 64, 1, 0},
      {"NAK, then a frame", {{ASCII_NAK}, StatusFrame({0x40, 0x40})}, 1, 64, 2, 1},
      {"silence three times", {{}, {}, {}}, 0, FP_NO_ANSWER, 3, 0},
      {"NAK three times", {{ASCII_NAK}, {ASCII_NAK}, {ASCII_NAK}}, 0, FP_NAK_ERROR, 3, 2},
      {"ACK", {{ASCII_ACK}}, 0, FP_ANSWER_ERROR, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    for (const auto& r : c.replies) port.Reply(r);
    int32_t frameStatus = -1, frameError = -1;
    EXPECT_EQ(ReadFpOrignalStatus(port, &frameStatus, &frameError, 0), c.result);
    EXPECT_EQ(frameError, c.frameError);
    EXPECT_EQ(port.Count(FakeEvent::Purge), 0u);
    EXPECT_EQ(port.Count(FakeEvent::Write), 0u);
    EXPECT_EQ(port.PausesOf(kReplyPauseMs), 0u);
    EXPECT_EQ(port.PausesOf(kNakPauseMs), c.nakPauses);
    EXPECT_EQ(port.ReadSizes(), std::vector<uint32_t>(c.reads, 9));
  }
}

TEST(ReadFpStatus, DecodesAnyFrameAndAnswersTrue) {
  struct Case {
    std::vector<uint8_t> frame;
    int32_t status, error;
  } cases[] = {
      {StatusFrame({0x40, 0x40}), 1, 0},
      {StatusFrame({0x44, 0x6C}), 1, 112},  // a failing decoded error still answers TRUE
      {StatusFrame({0xAA, 0x40}), 15, 0},
      {StatusFrame({0x60, 0x82, 0, 0, 0, 0}), 16, 0},
  };
  for (const Case& c : cases) {
    FakePort port;
    port.Reply(c.frame);
    int32_t status = -1, error = -1;
    EXPECT_EQ(ReadFpStatus(port, &status, &error), 1);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(error, c.error);
  }
}

TEST(ReadFpStatus, FailureReportsTheOutcome) {
  FakePort port;
  port.FailPurge(6);
  int32_t status = -1, error = -1;
  EXPECT_EQ(ReadFpStatus(port, &status, &error), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(error, FP_PORT_ERROR);
}

}  // namespace
