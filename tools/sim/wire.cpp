#include "sim/wire.h"

#include <cctype>
#include <cstdio>

namespace vexolant::sim {

namespace {

struct ByteName {
  uint8_t byte;
  const char* name;
};

constexpr ByteName kByteNames[] = {
    {kStx, "STX"}, {kEtx, "ETX"}, {kEnq, "ENQ"}, {kAck, "ACK"},
    {kNak, "NAK"}, {kEtb, "ETB"}, {0x0A, "LF"},  {0x0D, "CR"},
};

bool IsTerminator(uint8_t byte) {
  return byte == kEtx || byte == kEtb;
}

// The check byte: the XOR of every byte after STX through the terminator.
uint8_t XorOf(const uint8_t* bytes, size_t count) {
  uint8_t check = 0;
  for (size_t i = 0; i < count; ++i) check ^= bytes[i];
  return check;
}

// "<" label ">", built by appending only.
std::string Angled(const std::string& label) {
  std::string token;
  token.reserve(label.size() + 2);
  token += '<';
  token += label;
  token += '>';
  return token;
}

std::string Token(uint8_t byte) {
  for (const ByteName& n : kByteNames) {
    if (n.byte == byte) return Angled(n.name);
  }
  if (byte >= 0x20 && byte < 0x7F && byte != '<') return std::string(1, static_cast<char>(byte));
  return Angled(HexByte(byte));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

}  // namespace

Bytes BuildFrame(const Bytes& data, uint8_t terminator, bool wrongCheck) {
  Bytes frame;
  frame.reserve(data.size() + 3);
  frame.push_back(kStx);
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(terminator);
  const uint8_t check = XorOf(frame.data() + 1, frame.size() - 1);
  frame.push_back(wrongCheck ? static_cast<uint8_t>(~check) : check);
  return frame;
}

uint8_t ExpectedCheck(const Bytes& frame) {
  return XorOf(frame.data() + 1, frame.size() - 2);
}

bool IsGoodFrame(const Bytes& frame) {
  const size_t n = frame.size();
  return n >= 3 && frame[0] == kStx && IsTerminator(frame[n - 2]) &&
         frame[n - 1] == ExpectedCheck(frame);
}

std::string FrameText(const Bytes& frame) {
  if (frame.size() < 3) return "";
  return std::string(frame.begin() + 1, frame.end() - 2);
}

bool ParseHex(const std::string& text, Bytes* bytes) {
  bytes->clear();
  int high = -1;
  for (const char c : text) {
    if (c == ' ' && high < 0) continue;
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      bytes->push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  return high < 0;
}

std::string HexByte(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

std::vector<std::string> Tokens(const Bytes& bytes, bool frame) {
  std::vector<std::string> tokens;
  tokens.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    const bool check = frame && i + 1 == bytes.size() && i > 0;
    tokens.push_back(check ? Angled("LRC " + HexByte(bytes[i])) : Token(bytes[i]));
  }
  return tokens;
}

std::string Describe(const Bytes& bytes, bool frame) {
  std::string text;
  for (const std::string& token : Tokens(bytes, frame)) text += token;
  return text;
}

Received Push(Assembler& a, uint8_t byte) {
  if (a.held.empty() && byte != kStx) return {Received::Control, {byte}};
  a.held.push_back(byte);
  if (a.awaitingCheck) {
    a.awaitingCheck = false;
    Received frame{Received::Frame, {}};
    frame.bytes.swap(a.held);
    return frame;
  }
  if (a.held.size() > 1 && IsTerminator(byte)) {
    a.awaitingCheck = true;
  } else if (a.held.size() >= kMaxReceivedFrame) {
    return {Received::Overflow, DropPartial(a)};
  }
  return {};
}

bool MidFrame(const Assembler& a) {
  return !a.held.empty();
}

Bytes DropPartial(Assembler& a) {
  Bytes dropped;
  dropped.swap(a.held);
  a.awaitingCheck = false;
  return dropped;
}

}  // namespace vexolant::sim
