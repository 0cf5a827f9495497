#include "link/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_port.h"

using namespace vexolant;

namespace {

std::vector<uint8_t> Built(const std::string& text) {
  uint8_t frame[kFrameBufferSize];
  const uint32_t n = BuildCommandFrame(text.c_str(), frame);
  EXPECT_EQ(frame[n], 0) << "a NUL follows the frame in memory";
  return std::vector<uint8_t>(frame, frame + n);
}

TEST(BlockCheck, OperationsAndPostProcessings) {
  struct Case {
    std::vector<uint8_t> bytes;
    int32_t operation, post, expected;
  } cases[] = {
      {{0xFF, 0xFF}, kCheckSum, kCheckPlain, 510},
      {{0xF0, 0x3C}, kCheckAnd, kCheckPlain, 0x30},
      {{0xF0, 0x0C}, kCheckOr, kCheckPlain, 0xFC},
      {{0x5A}, kCheckXor, kCheckPlain, 0x5A},
      {{0x00}, kCheckXor, kCheckComplement, -1},
      {{0x01, 0x02}, kCheckSum, kCheckNegate, -3},
      {{0x61, 0x62, 0x63, 0x03}, kCheckXor, kCheckPlain, 0x63},
      {{0x80, 0x80, 0x80}, kCheckSum, kCheckPlain, 384},  // bytes count unsigned
      {{0x12, 0x34}, 7, kCheckPlain, 0},                  // unknown operation
      {{0x12, 0x34}, 7, kCheckComplement, -1},
      {{0x12, 0x34}, kCheckXor, 9, 0x26},  // unknown post-processing leaves the value
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BlockCheck(c.bytes.data(), static_cast<int32_t>(c.bytes.size()), c.operation, c.post),
              c.expected)
        << "operation " << c.operation << " post " << c.post;
  }
}

TEST(BlockCheck, CountOfOneOrLessIsTheFirstByte) {
  const uint8_t bytes[] = {0x41, 0x42};
  EXPECT_EQ(BlockCheck(bytes, 1, kCheckXor, kCheckPlain), 0x41);
  EXPECT_EQ(BlockCheck(bytes, 0, kCheckSum, kCheckPlain), 0x41);
}

TEST(CommandFrame, WorkedExamples) {
  EXPECT_EQ(Built("abc"), Bytes({0x02, 0x61, 0x62, 0x63, 0x03, 0x63}));
  EXPECT_EQ(Built(""), Bytes({0x02, 0x03, 0x03}));
  EXPECT_EQ(Built("abc\r\nmore"), Built("abc"));
  EXPECT_EQ(Built("ab\ncd\re"), Built("ab"));
  EXPECT_EQ(Built("\rabc"), Built(""));
  // Control bytes other than CR and LF travel unchanged.
  EXPECT_EQ(Built("\x02\x17"), Bytes({0x02, 0x02, 0x17, 0x03, 0x02 ^ 0x17 ^ 0x03}));
}

TEST(CommandFrame, LongTextIsCutAt4096Bytes) {
  std::string text(5000, 'x');
  text[4095] = 'y';
  const std::vector<uint8_t> frame = Built(text);
  ASSERT_EQ(frame.size(), 4099u);
  EXPECT_EQ(frame[4096], 'y');
  EXPECT_EQ(frame[4097], ASCII_ETX);
  EXPECT_EQ(Built(std::string(4096, 'x')).size(), 4099u);
  EXPECT_EQ(IsValidReply(frame.data(), static_cast<uint32_t>(frame.size())), 1);
}

TEST(IsValidReply, ByLengthAndContent) {
  struct Case {
    std::vector<uint8_t> reply;
    int valid;
  } cases[] = {
      {Bytes({0x05}), 1},
      {Bytes({0x06}), 1},
      {Bytes({0x15}), 1},
      {Bytes({0x02}), 0},
      {Bytes({0x03}), 0},
      {Bytes({0x41}), 0},
      {Bytes({0x06, 0x06}), 0},
      {Bytes({0x02, 0x03, 0x03}), 0},  // empty text: never valid
      {Bytes({0x02, 0x41, 0x17, 0x56}), 1},
      {Bytes({0x02, 0x41, 0x03, 0x42}), 1},
      {Bytes({0x02, 0x41, 0x03, 0x43}), 0},  // wrong LRC
      {Bytes({0x01, 0x41, 0x03, 0x42}), 0},  // no STX
      {Bytes({0x02, 0x41, 0x04, 0x45}), 0},  // neither ETX nor ETB
      {StatusFrame({0x40, 0x40}), 1},
      {StatusFrame({0x80, 0x81, 0x82, 0x83, 0x84, 0x85}), 1},
      {Frame("report line", 0x17), 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidReply(c.reply.data(), static_cast<uint32_t>(c.reply.size())), c.valid)
        << ::testing::PrintToString(c.reply);
  }
}

// A command line held with its length: a NUL in the text its frame would
// carry is refused like a framing byte; past a CR or LF, or past the first
// 4096 bytes, nothing is sent anyway.
TEST(HoldsFramingByte, LineWithItsLength) {
  using namespace std::string_literals;
  struct Case {
    std::string line;
    int holds;
  } cases[] = {
      {"abc\n", 0},     {"a\0c\n"s, 1},  {"abc\0"s, 1},
      {"\0"s, 1},       {"a\x02"s, 1},   {"a\x17\n", 1},
      {"ab\r\0"s, 0},   {"ab\n\x03", 0}, {std::string(4096, 'a') + '\0', 0},
      {"a\x01\x04", 0}, {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HoldsFramingByte(c.line.data(), c.line.size()), c.holds)
        << ::testing::PrintToString(c.line);
  }
  EXPECT_EQ(HoldsFramingByte("a\x03"), 1);
  EXPECT_EQ(HoldsFramingByte("a"), 0);
  EXPECT_EQ(HoldsFramingByte(nullptr), 0);
}

}  // namespace
