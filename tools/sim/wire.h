// What travels on the printer's line, seen from the printer: frames it sends
// (status frames and text blocks), the byte-by-byte assembly of what it
// receives, and the readable form of both for the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexolant::sim {

using Bytes = std::vector<uint8_t>;

// The protocol's control bytes, as the printer knows them. The printer's
// framing is its own code, not the library's: the end-to-end suite trusts
// it to tell a right frame from a wrong one.
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kEtb = 0x17;

// STX, data, terminator, check byte. A wrong check byte differs from the right
// one in every bit.
Bytes BuildFrame(const Bytes& data, uint8_t terminator, bool wrongCheck);

// The check byte that a frame of at least 3 bytes should end with.
uint8_t ExpectedCheck(const Bytes& frame);

// A frame of at least 3 bytes with STX, ETX or ETB before the last byte and
// the right check byte. Unlike the tool's reply check, the empty command
// (STX ETX 0x03) is accepted.
bool IsGoodFrame(const Bytes& frame);

// The text between STX and the terminator of a frame.
std::string FrameText(const Bytes& frame);

// Parses hexadecimal byte values such as "40 40" or "4040"; spaces between
// bytes are allowed. False on an odd digit count or a non-hex character.
bool ParseHex(const std::string& text, Bytes* bytes);

// Two-digit upper-case hex of a byte, as "0x63".
std::string HexByte(uint8_t byte);

// Readable form for the log: printable ASCII as is, the protocol's control
// bytes and CR/LF by name (<ENQ>, <LF>), other bytes and '<' as <0x1B>. When
// frame is set, the last byte is shown as the check byte (<LRC 0x63>).
// Tokens() gives one string per byte so that a frame sent in pieces can be
// shown piece by piece.
std::vector<std::string> Tokens(const Bytes& bytes, bool frame);
std::string Describe(const Bytes& bytes, bool frame);

// Collects received bytes into requests. Outside a frame, every byte is an
// event of its own; STX starts a frame, which is complete with the byte that
// follows its first ETX or ETB (the check byte).
struct Received {
  enum Kind { None, Control, Frame, Overflow } kind = None;
  Bytes bytes;  // the control byte, the whole frame, or the dropped bytes
};

// Longest frame kept: a full-length command frame; longer runs are dropped.
constexpr size_t kMaxReceivedFrame = 4099;

struct Assembler {
  Bytes held;
  bool awaitingCheck = false;
};

Received Push(Assembler& assembler, uint8_t byte);
bool MidFrame(const Assembler& assembler);
// Drops an unfinished frame (the sender went quiet) and returns its bytes.
Bytes DropPartial(Assembler& assembler);

}  // namespace vexolant::sim
