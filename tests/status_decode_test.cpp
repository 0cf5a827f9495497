#include "printer/status_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "link/frame.h"

using namespace vexolant;

namespace {

struct Decoded {
  int32_t status, error, success;
};

Decoded Decode(int32_t frameStatus, int32_t frameError) {
  Decoded d{-99, -99, -99};
  d.success = CheckStatus(frameStatus, frameError, &d.status, &d.error);
  return d;
}

// A well-formed 9-byte status frame carrying D1..D6.
std::array<uint8_t, 9> LongFrame(uint8_t d1, uint8_t d2, uint8_t d3, uint8_t d4, uint8_t d5,
                                 uint8_t d6 = 0x30) {
  std::array<uint8_t, 9> f = {ASCII_STX, d1, d2, d3, d4, d5, d6, ASCII_ETX, 0};
  f[8] = static_cast<uint8_t>(BlockCheck(f.data() + 1, 7, kCheckXor, kCheckPlain));
  return f;
}

std::array<int32_t, 2> LongCodes(const std::array<uint8_t, 9>& frame) {
  std::array<int32_t, 2> codes = {-99, -99};
  LongStatusCodes(frame.data(), &codes[0], &codes[1]);
  return codes;
}

TEST(StatusDataByte, SignExtends) {
  EXPECT_EQ(SignedDataByte(0x00), 0);
  EXPECT_EQ(SignedDataByte(0x50), 80);
  EXPECT_EQ(SignedDataByte(0x7F), 127);
  EXPECT_EQ(SignedDataByte(0x80), -128);
  EXPECT_EQ(SignedDataByte(0xA0), -96);
  EXPECT_EQ(SignedDataByte(0xFF), -1);
}

TEST(StatusShortFrame, DataBytesSigned) {
  struct Case {
    uint8_t d1, d2;
    int32_t frameStatus, frameError;
  } cases[] = {
      {0x40, 0x40, 64, 64},
      {0xA0, 0x00, -96, 0},
      {0x00, 0x81, 0, -127},
      {0xFF, 0x7F, -1, 127},
  };
  for (const Case& c : cases) {
    const uint8_t frame[] = {ASCII_STX, c.d1, c.d2, ASCII_ETX,
                             static_cast<uint8_t>(c.d1 ^ c.d2 ^ ASCII_ETX)};
    int32_t frameStatus = -99, frameError = -99;
    ShortStatusCodes(frame, &frameStatus, &frameError);
    EXPECT_EQ(frameStatus, c.frameStatus) << "D1 " << int{c.d1};
    EXPECT_EQ(frameError, c.frameError) << "D2 " << int{c.d2};
  }
}

// Row precedence and the signed byte tests of the two folding tables.
TEST(StatusLongFrame, FrameStatusCode) {
  struct Case {
    const char* what;
    uint8_t d1, d2, d3, d5;
    int32_t expected;
  } cases[] = {
      {"D2 0x81 with D3 0x90", 0x00, 0x81, 0x90, 0x00, 656},
      {"D3 0xB0 has both 0x90 and 0xA0: the 0x90 row comes first", 0x00, 0x81, 0xB0, 0x00, 656},
      {"D2 0x81 with D3 0xA0", 0x00, 0x81, 0xA0, 0x00, 416},
      {"D2 0x81 alone", 0x00, 0x81, 0x00, 0x00, 385},
      {"D2 0x83 has 0x81 before 0x82", 0x00, 0x83, 0x00, 0x00, 385},
      {"D2 0x82 precedes the D1 test", 0x60, 0x82, 0x00, 0x00, 386},
      {"D1 0x60 above 80", 0x60, 0x00, 0x00, 0x00, 96},
      {"D1 above 80 precedes D5", 0x60, 0x00, 0x00, 0x81, 96},
      {"D1 0x50 is not above 80", 0x50, 0x00, 0x00, 0x00, 80},
      {"D1 0x51", 0x51, 0x00, 0x00, 0x00, 81},
      {"D1 0x50 falls through to D5", 0x50, 0x00, 0x00, 0x81, 641},
      {"D1 0xC0 is negative and fails the D1 test", 0xC0, 0x00, 0x00, 0x81, 641},
      {"D3 0x90", 0x00, 0x00, 0x90, 0x00, 400},
      {"D2 0x90", 0x00, 0x90, 0x00, 0x00, 144},
      {"D3 0x90 precedes D2 0x90", 0x00, 0x90, 0x90, 0x00, 400},
      {"otherwise D1, sign-extended", 0xC0, 0x00, 0x00, 0x00, -64},
      {"otherwise D1 0xFF", 0xFF, 0x00, 0x00, 0x00, -1},
      {"nothing set", 0x00, 0x00, 0x00, 0x00, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LongCodes(LongFrame(c.d1, c.d2, c.d3, 0x00, c.d5))[0], c.expected) << c.what;
  }
}

TEST(StatusLongFrame, FrameErrorCode) {
  struct Case {
    const char* what;
    uint8_t d2, d3, d4;
    int32_t expected;
  } cases[] = {
      {"D4 0xE0 has 0xA0 before 0xC0", 0x00, 0x00, 0xE0, 672},
      {"D4 0xC0", 0x00, 0x00, 0xC0, 704},
      {"D2 0x88 precedes the D4 test", 0x88, 0x00, 0x54, 392},
      {"D4 0x54 above 80", 0x00, 0x00, 0x54, 84},
      {"D4 above 80 precedes D2 and D3", 0xC0, 0x81, 0x51, 81},
      {"D2 0xC0 yields 0x184", 0xC0, 0x00, 0x00, 388},
      {"D2 0xE0 has 0xC0 before 0xA0", 0xE0, 0x00, 0x00, 388},
      {"D3 0x81", 0x00, 0x81, 0x00, 129},
      {"D2 0xA0 precedes D3", 0xA0, 0x82, 0x00, 160},
      {"D3 0x82", 0x00, 0x82, 0x00, 386},
      {"D3 0x88", 0x00, 0x88, 0x00, 648},
      {"D3 0xA0", 0x00, 0xA0, 0x00, 416},
      {"D3 0xC0", 0x00, 0xC0, 0x00, 448},
      {"D3 0x84", 0x00, 0x84, 0x00, 644},
      {"D3 0x85 has 0x81 first", 0x00, 0x85, 0x00, 129},
      {"D4 0x50 is not above 80", 0x00, 0x00, 0x50, 80},
      {"D4 0x50 falls through to D2", 0xC0, 0x00, 0x50, 388},
      {"otherwise D4, sign-extended", 0x00, 0x00, 0x90, -112},
      {"nothing set", 0x00, 0x00, 0x00, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LongCodes(LongFrame(0x00, c.d2, c.d3, c.d4, 0x00))[1], c.expected) << c.what;
  }
}

TEST(StatusLongFrame, TablesAreIndependentAndD6IsIgnored) {
  EXPECT_EQ(LongCodes(LongFrame(0x00, 0x81, 0x00, 0xA0, 0x00)), (std::array<int32_t, 2>{385, 672}));
  EXPECT_EQ(LongCodes(LongFrame(0x60, 0x00, 0x00, 0x54, 0x00)), (std::array<int32_t, 2>{96, 84}));
  for (int d6 : {0x00, 0x81, 0xA0, 0xFF}) {
    EXPECT_EQ(LongCodes(LongFrame(0x00, 0x81, 0x90, 0xC0, 0x81, static_cast<uint8_t>(d6))),
              (std::array<int32_t, 2>{656, 704}))
        << "D6 " << d6;
  }
}

TEST(StatusCheck, WorkedExamples) {
  struct Case {
    const char* what;
    int32_t frameStatus, frameError;
    Decoded expected;
  } cases[] = {
      {"0x40 and 0x40", 0x40, 0x40, {1, 0, 1}},
      {"zeros", 0, 0, {0, 0, 1}},
      {"bit 2 overrides 0x6C", 0x44, 0x6C, {1, 112, 0}},
      {"0x41", 0, 0x41, {0, 1, 1}},
      {"0x43", 0, 0x43, {0, 3, 0}},
      {"0x6A", 0x6A, 0, {12, 0, 1}},
      {"0xAA", 0xAA, 0, {12, 0, 1}},
      {"-86 stops at the 0x1A0 row", -86, 0, {15, 0, 1}},
      {"-127 has 0x181", 0, -127, {0, 80, 0}},
      {"0x81", 0, 0x81, {0, 2, 1}},
      {"386 leaves the error in place", 386, 0x41, {16, 1, 1}},
      {"386 with bit 2 unset keeps a failing error", 386, 0x43, {16, 3, 0}},
      {"-1 sets bit 2", -1, 0x40, {13, 112, 0}},
      {"0x6C before 0x64", 0, 0x6C, {0, 108, 0}},
      {"0x1C0 before 0xC0", 0, 0x1C0, {0, 232, 1}},
      {"0xC0 alone", 0, 0xC0, {0, 225, 0}},
      {"bit 2 turns a 232 into a failure", 0x04, 0x1C0, {0, 112, 0}},
  };
  for (const Case& c : cases) {
    const Decoded d = Decode(c.frameStatus, c.frameError);
    EXPECT_EQ(d.status, c.expected.status) << c.what;
    EXPECT_EQ(d.error, c.expected.error) << c.what;
    EXPECT_EQ(d.success, c.expected.success) << c.what;
  }
}

// The codes folded from a 9-byte frame, read end to end from the frame.
TEST(StatusCheck, DerivedFrameStatusCodes) {
  struct Case {
    std::array<uint8_t, 9> frame;
    int32_t frameStatus, status;
  } cases[] = {
      {LongFrame(0x00, 0x81, 0x00, 0x00, 0x00), 385, 13},
      {LongFrame(0x00, 0x81, 0x90, 0x00, 0x00), 656, 14},
      {LongFrame(0x00, 0x81, 0xA0, 0x00, 0x00), 416, 15},
      {LongFrame(0x00, 0x82, 0x00, 0x00, 0x00), 386, 16},
      {LongFrame(0x00, 0x00, 0x00, 0x00, 0x81), 641, 19},
      {LongFrame(0x00, 0x00, 0x90, 0x00, 0x00), 400, 19},
      {LongFrame(0x00, 0x90, 0x00, 0x00, 0x00), 144, 17},
  };
  for (const Case& c : cases) {
    const std::array<int32_t, 2> codes = LongCodes(c.frame);
    ASSERT_EQ(codes[0], c.frameStatus);
    EXPECT_EQ(Decode(codes[0], 0).status, c.status) << c.frameStatus;
  }
}

TEST(StatusCheck, DerivedFrameErrorCodes) {
  struct Case {
    std::array<uint8_t, 9> frame;
    int32_t frameError, error, success;
  } cases[] = {
      {LongFrame(0x00, 0x00, 0x00, 0xA0, 0x00), 672, 226, 0},
      {LongFrame(0x00, 0x00, 0x00, 0xC0, 0x00), 704, 227, 0},
      {LongFrame(0x00, 0x88, 0x00, 0x00, 0x00), 392, 233, 0},
      {LongFrame(0x00, 0xC0, 0x00, 0x00, 0x00), 388, 228, 0},
      {LongFrame(0x00, 0x00, 0x81, 0x00, 0x00), 129, 2, 1},
      {LongFrame(0x00, 0xA0, 0x00, 0x00, 0x00), 160, 1, 1},
      {LongFrame(0x00, 0x00, 0x82, 0x00, 0x00), 386, 84, 0},
      {LongFrame(0x00, 0x00, 0x88, 0x00, 0x00), 648, 92, 0},
      {LongFrame(0x00, 0x00, 0xA0, 0x00, 0x00), 416, 1, 1},
      {LongFrame(0x00, 0x00, 0xC0, 0x00, 0x00), 448, 232, 1},
      {LongFrame(0x00, 0x00, 0x84, 0x00, 0x00), 644, 88, 0},
  };
  for (const Case& c : cases) {
    const std::array<int32_t, 2> codes = LongCodes(c.frame);
    ASSERT_EQ(codes[1], c.frameError);
    const Decoded d = Decode(0, codes[1]);
    EXPECT_EQ(d.error, c.error) << c.frameError;
    EXPECT_EQ(d.success, c.success) << c.frameError;
  }
}

// A data byte 0x80-0xFF widened with its sign has bits 8 and 9 set, so the
// rows with those bits in their mask catch it whenever its low byte allows.
TEST(StatusCheck, NegativeStatusCodesMeetTheWideMasks) {
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    const int32_t status = Decode(SignedDataByte(static_cast<uint8_t>(byte)), 0).status;
    if (byte & 0x01) {
      EXPECT_EQ(status, 13) << byte;
    } else if (byte & 0x10) {
      EXPECT_EQ(status, 14) << byte;
    } else if (byte & 0x20) {
      EXPECT_EQ(status, 15) << byte;
    } else if (byte & 0x02) {
      EXPECT_EQ(status, 16) << byte;
    } else {
      EXPECT_LT(status, 13) << byte;
    }
  }
}

bool Contains(std::initializer_list<int32_t> values, int32_t v) {
  return std::find(values.begin(), values.end(), v) != values.end();
}

TEST(StatusCheck, PropertiesOverManyCodes) {
  const std::initializer_list<int32_t> errors = {0,   1,   2,   3,   80,  84,  88,  92,  96,
                                                 100, 108, 112, 225, 226, 227, 228, 232, 233};
  for (int32_t frameError : {INT32_MIN, INT32_MAX}) {
    const Decoded d = Decode(0, frameError);
    EXPECT_TRUE(Contains(errors, d.error)) << frameError;
    EXPECT_EQ(d.success, Contains({0, 1, 2, 232}, d.error) ? 1 : 0) << frameError;
  }
  for (int32_t code = -2048; code <= 2048; ++code) {
    const Decoded d = Decode(0, code);
    EXPECT_TRUE(Contains(errors, d.error)) << code;
    EXPECT_EQ(d.success, Contains({0, 1, 2, 232}, d.error) ? 1 : 0) << code;
    // Bit 2 of the frame status code gives 112 and failure whatever the frame
    // error code, and the status is decoded as if the bit were clear.
    const Decoded plain = Decode(code & ~4, code);
    const Decoded withBit = Decode(code | 4, code);
    EXPECT_EQ(withBit.error, 112) << code;
    EXPECT_EQ(withBit.success, 0) << code;
    EXPECT_EQ(withBit.status, plain.status) << code;
    EXPECT_TRUE((plain.status >= 0 && plain.status <= 17) || plain.status == 19) << code;
    // The status code depends on the frame status code alone.
    EXPECT_EQ(Decode(code, 0x6C).status, Decode(code, 0).status) << code;
  }
}

}  // namespace
