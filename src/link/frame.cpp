#include "link/frame.h"

namespace vexolant {

int32_t BlockCheck(const uint8_t* bytes, int32_t count, int32_t operation, int32_t post) {
  int32_t value = 0;
  if (operation >= kCheckAnd && operation <= kCheckSum) {
    value = bytes[0];
    for (int32_t i = 1; i < count; ++i) {
      const int32_t b = bytes[i];
      switch (operation) {
        case kCheckAnd:
          value &= b;
          break;
        case kCheckOr:
          value |= b;
          break;
        case kCheckXor:
          value ^= b;
          break;
        default:
          value = static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(b));
          break;
      }
    }
  }
  if (post == kCheckComplement) return ~value;
  if (post == kCheckNegate) return static_cast<int32_t>(0u - static_cast<uint32_t>(value));
  return value;
}

uint32_t CommandTextLength(const char* text) {
  uint32_t n = 0;
  while (n < kMaxCommandText && text[n] != '\0' && text[n] != '\r' && text[n] != '\n') ++n;
  return n;
}

uint32_t BuildCommandFrame(const char* text, uint8_t* frame) {
  const uint32_t n = CommandTextLength(text);
  frame[0] = ASCII_STX;
  for (uint32_t i = 0; i < n; ++i) frame[1 + i] = static_cast<uint8_t>(text[i]);
  frame[1 + n] = ASCII_ETX;
  frame[2 + n] = static_cast<uint8_t>(
      BlockCheck(frame + 1, static_cast<int32_t>(n + 1), kCheckXor, kCheckPlain));
  frame[3 + n] = 0;
  return n + 3;
}

int IsValidReply(const uint8_t* bytes, uint32_t length) {
  if (length == 1) return bytes[0] == ASCII_ENQ || bytes[0] == ASCII_ACK || bytes[0] == ASCII_NAK;
  if (length < 4) return 0;
  const uint8_t terminator = bytes[length - 2];
  if (bytes[0] != ASCII_STX || (terminator != ASCII_ETX && terminator != ASCII_ETB)) return 0;
  const int32_t lrc =
      BlockCheck(bytes + 1, static_cast<int32_t>(length - 2), kCheckXor, kCheckPlain);
  return bytes[length - 1] == static_cast<uint8_t>(lrc);
}

int IsWholeReply(const uint8_t* bytes, uint32_t length) {
  if (length == 0) return 0;
  if (bytes[0] != ASCII_STX) {
    return length == 1 && (bytes[0] == ASCII_ACK || bytes[0] == ASCII_NAK || bytes[0] == ASCII_ENQ);
  }
  for (uint32_t i = 1; i < length; ++i) {
    if (bytes[i] == ASCII_ETX || bytes[i] == ASCII_ETB) return i + 2 == length;
  }
  return 0;
}

int HoldsFramingByte(const char* text) {
  return text == nullptr ? 0 : HoldsFramingByte(text, CommandTextLength(text));
}

int HoldsFramingByte(const char* bytes, size_t length) {
  for (size_t i = 0; i < length && i < kMaxCommandText; ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') return 0;
    if (c == '\0' || c == ASCII_STX || c == ASCII_ETX || c == ASCII_ETB) return 1;
  }
  return 0;
}

}  // namespace vexolant
