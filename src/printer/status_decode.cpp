#include "printer/status_decode.h"

#include <cstddef>

namespace vexolant {

namespace {

// Ordered rule tables: the first row that applies wins. Every table ends in a
// row that always applies, so a lookup always finds one.
template <typename Row, size_t N, typename Applies>
const Row& FirstMatch(const Row (&rows)[N], Applies applies) {
  for (const Row& row : rows) {
    if (applies(row)) return row;
  }
  return rows[N - 1];
}

// A code has a mask when every bit of the mask is set in it, on all 32 bits.
bool Has(int32_t code, uint32_t mask) {
  return (static_cast<uint32_t>(code) & mask) == mask;
}

// --- Folding a 9-byte status frame ---------------------------------------

// What a row of the frame tables tests on one data byte.
constexpr int32_t kByteHas = 0;          // the byte has the mask
constexpr int32_t kByteAbove80 = 1;      // the byte, signed, is greater than 80
constexpr int32_t kByteAlways = 2;       // no condition
constexpr int32_t kTheByte = INT32_MIN;  // the row yields its tested byte, signed

struct ByteTest {
  int32_t kind;
  int32_t index;  // 1 for D1 .. 6 for D6: the position in the frame
  uint8_t mask;
};

struct FrameRule {
  ByteTest test;
  ByteTest also;  // a second condition that must hold as well
  int32_t code;
};

constexpr ByteTest kNoTest = {kByteAlways, 1, 0};

constexpr FrameRule kFrameStatusRules[] = {
    {{kByteHas, 2, 0x81}, {kByteHas, 3, 0x90}, 656},
    {{kByteHas, 2, 0x81}, {kByteHas, 3, 0xA0}, 416},
    {{kByteHas, 2, 0x81}, kNoTest, 385},
    {{kByteHas, 2, 0x82}, kNoTest, 386},
    {{kByteAbove80, 1, 0}, kNoTest, kTheByte},
    {{kByteHas, 5, 0x81}, kNoTest, 641},
    {{kByteHas, 3, 0x90}, kNoTest, 400},
    {{kByteHas, 2, 0x90}, kNoTest, 144},
    {{kByteAlways, 1, 0}, kNoTest, kTheByte},
};

// The 0xC0 row yields 388 (0x184), not 0x1C0: the printer's own numbering.
constexpr FrameRule kFrameErrorRules[] = {
    {{kByteHas, 4, 0xA0}, kNoTest, 672},      {{kByteHas, 4, 0xC0}, kNoTest, 704},
    {{kByteHas, 2, 0x88}, kNoTest, 392},      {{kByteAbove80, 4, 0}, kNoTest, kTheByte},
    {{kByteHas, 2, 0xC0}, kNoTest, 388},      {{kByteHas, 3, 0x81}, kNoTest, 129},
    {{kByteHas, 2, 0xA0}, kNoTest, 160},      {{kByteHas, 3, 0x82}, kNoTest, 386},
    {{kByteHas, 3, 0x88}, kNoTest, 648},      {{kByteHas, 3, 0xA0}, kNoTest, 416},
    {{kByteHas, 3, 0xC0}, kNoTest, 448},      {{kByteHas, 3, 0x84}, kNoTest, 644},
    {{kByteAlways, 4, 0}, kNoTest, kTheByte},
};

bool Passes(const uint8_t* frame, const ByteTest& test) {
  const uint8_t byte = frame[test.index];
  if (test.kind == kByteHas) return (byte & test.mask) == test.mask;
  if (test.kind == kByteAbove80) return SignedDataByte(byte) > 80;
  return true;
}

template <size_t N>
int32_t FoldFrame(const uint8_t* frame, const FrameRule (&rules)[N]) {
  const FrameRule& rule = FirstMatch(rules, [frame](const FrameRule& r) {
    return Passes(frame, r.test) && Passes(frame, r.also);
  });
  return rule.code == kTheByte ? SignedDataByte(frame[rule.test.index]) : rule.code;
}

// --- Decoding the frame codes --------------------------------------------

struct ErrorRule {
  uint32_t mask;
  int32_t error;
  int32_t success;
};

struct StatusRule {
  uint32_t mask;
  int32_t status;
};

// The order decides: several codes have more than one row's mask.
constexpr ErrorRule kErrorRules[] = {
    {0x6C, 108, 0},  {0x64, 100, 0},  {0x60, 96, 0},   {0x90, 96, 0}, {0x2A0, 226, 0},
    {0x2C0, 227, 0}, {0x188, 233, 0}, {0x184, 228, 0}, {0x5C, 92, 0}, {0x88, 92, 0},
    {0x58, 88, 0},   {0x84, 88, 0},   {0x54, 84, 0},   {0x82, 84, 0}, {0x50, 80, 0},
    {0x181, 80, 0},  {0x43, 3, 0},    {0x42, 2, 1},    {0x81, 2, 1},  {0x41, 1, 1},
    {0xA0, 1, 1},    {0x1C0, 232, 1}, {0xC0, 225, 0},  {0x00, 0, 1},
};

constexpr StatusRule kStatusRules[] = {
    {0x181, 13}, {0x290, 14}, {0x1A0, 15}, {0x182, 16}, {0x6A, 12}, {0xAA, 12}, {0x69, 11},
    {0xA9, 11},  {0x68, 10},  {0xA8, 10},  {0x72, 9},   {0xB2, 9},  {0x71, 8},  {0xB1, 8},
    {0x70, 7},   {0xB0, 7},   {0x62, 6},   {0xA2, 6},   {0x61, 5},  {0xA1, 5},  {0x281, 19},
    {0x190, 19}, {0x90, 17},  {0x60, 4},   {0xA0, 4},   {0x42, 3},  {0x82, 3},  {0x41, 2},
    {0x81, 2},   {0x40, 1},   {0x80, 1},   {0x00, 0},
};

// Bit 2 of the frame status code reports an error of its own, which overrides
// the frame error code; the status is decoded without it.
constexpr uint32_t kStatusErrorBit = 0x04;
constexpr int32_t kStatusBitError = 112;

}  // namespace

int32_t SignedDataByte(uint8_t byte) {
  return static_cast<int8_t>(byte);
}

void ShortStatusCodes(const uint8_t* frame, int32_t* frameStatus, int32_t* frameError) {
  *frameStatus = SignedDataByte(frame[1]);
  *frameError = SignedDataByte(frame[2]);
}

void LongStatusCodes(const uint8_t* frame, int32_t* frameStatus, int32_t* frameError) {
  *frameStatus = FoldFrame(frame, kFrameStatusRules);
  *frameError = FoldFrame(frame, kFrameErrorRules);
}

int32_t CheckStatus(int32_t frameStatus, int32_t frameError, int32_t* status, int32_t* error) {
  const ErrorRule& errorRule =
      FirstMatch(kErrorRules, [frameError](const ErrorRule& r) { return Has(frameError, r.mask); });
  *error = errorRule.error;
  int32_t success = errorRule.success;
  if (Has(frameStatus, kStatusErrorBit)) {
    *error = kStatusBitError;
    success = 0;
  }
  const int32_t statusBits =
      static_cast<int32_t>(static_cast<uint32_t>(frameStatus) & ~kStatusErrorBit);
  *status = FirstMatch(kStatusRules, [statusBits](const StatusRule& r) {
              return Has(statusBits, r.mask);
            }).status;
  return success;
}

}  // namespace vexolant
