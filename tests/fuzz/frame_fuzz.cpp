// Received replies and the check byte: IsValidReply, IsWholeReply and
// BlockCheck over any bytes, and the frames built from any command text.
#include <algorithm>
#include <string>

#include "fuzz.h"
#include "link/frame.h"

using namespace vexolant;

namespace {

bool IsTerminator(uint8_t byte) {
  return byte == ASCII_ETX || byte == ASCII_ETB;
}

// Properties of the check byte's operations over bytes[0, count).
void CheckBlockCheck(const uint8_t* bytes, size_t count, int32_t post) {
  const auto n = static_cast<int32_t>(count);
  const int32_t andValue = BlockCheck(bytes, n, kCheckAnd, kCheckPlain);
  const int32_t orValue = BlockCheck(bytes, n, kCheckOr, kCheckPlain);
  const int32_t xorValue = BlockCheck(bytes, n, kCheckXor, kCheckPlain);
  const int32_t sumValue = BlockCheck(bytes, n, kCheckSum, kCheckPlain);
  FUZZ_CHECK(andValue >= 0 && orValue <= 0xFF && xorValue >= 0 && xorValue <= 0xFF);
  FUZZ_CHECK(sumValue >= 0 && sumValue <= 0xFF * n);
  uint8_t low = 0xFF;
  uint8_t high = 0;
  for (size_t i = 0; i < count; ++i) {
    FUZZ_CHECK((andValue & ~bytes[i]) == 0 && (bytes[i] & ~orValue) == 0);
    low = std::min(low, bytes[i]);
    high = std::max(high, bytes[i]);
  }
  FUZZ_CHECK(andValue <= low && orValue >= high && sumValue >= high);
  // The LRC: a block followed by its own check byte folds to 0.
  std::string withCheck(reinterpret_cast<const char*>(bytes), count);
  withCheck.push_back(static_cast<char>(xorValue));
  FUZZ_CHECK(BlockCheck(reinterpret_cast<const uint8_t*>(withCheck.data()), n + 1, kCheckXor,
                        kCheckPlain) == 0);
  // The post-processing turns one value into another, the same for every
  // operation; an unknown operation folds nothing.
  const int32_t after = BlockCheck(bytes, n, kCheckXor, post);
  if (post == kCheckComplement) FUZZ_CHECK((after ^ xorValue) == -1);
  if (post == kCheckNegate) FUZZ_CHECK(static_cast<uint32_t>(after) + xorValue == 0);
  if (post == kCheckPlain) FUZZ_CHECK(BlockCheck(bytes, n, 4, post) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto length = static_cast<uint32_t>(std::min<size_t>(size, 1 << 16));
  const int valid = IsValidReply(data, length);
  const int whole = IsWholeReply(data, length);
  FUZZ_CHECK(valid == 0 || valid == 1);
  FUZZ_CHECK(whole == 0 || whole == 1);
  if (length == 1) {
    const bool control = data[0] == ASCII_ENQ || data[0] == ASCII_ACK || data[0] == ASCII_NAK;
    FUZZ_CHECK(valid == control && whole == control);
  } else if (valid == 1) {
    // A valid frame starts with STX, has its terminator before the check
    // byte and the check byte is the XOR of everything after STX.
    FUZZ_CHECK(length >= 4 && data[0] == ASCII_STX);
    FUZZ_CHECK(IsTerminator(data[length - 2]));
    FUZZ_CHECK(data[length - 1] ==
               static_cast<uint8_t>(
                   BlockCheck(data + 1, static_cast<int32_t>(length - 2), kCheckXor, kCheckPlain)));
    // Whole exactly when no terminator stands before the last one.
    FUZZ_CHECK(whole ==
               (std::find_if(data + 1, data + length - 2, IsTerminator) == data + length - 2));
  }

  // The check byte's operations over the bytes after the first.
  if (size > 1) CheckBlockCheck(data + 1, std::min<size_t>(size - 1, 1 << 16), data[0] % 3);

  // Any text becomes a frame that the printer can read as exactly one
  // command, unless it holds a framing byte and is never sent.
  const std::string text(reinterpret_cast<const char*>(data), size);
  uint8_t frame[kFrameBufferSize];
  const uint32_t count = BuildCommandFrame(text.c_str(), frame);
  FUZZ_CHECK(count == CommandTextLength(text.c_str()) + 3 && count <= kMaxCommandText + 3);
  FUZZ_CHECK(frame[count] == 0);
  // (The empty text's 3-byte frame is shorter than any reply.)
  if (HoldsFramingByte(text.c_str()) == 0 && count > 3) {
    FUZZ_CHECK(IsValidReply(frame, count) == 1);
    FUZZ_CHECK(IsWholeReply(frame, count) == 1);
  }
  return 0;
}
