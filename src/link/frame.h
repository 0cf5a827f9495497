// Frame format of the printer protocol: control bytes, command frames with
// their check byte (LRC), and the validity rule for received replies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexolant {

constexpr uint8_t ASCII_STX = 0x02;
constexpr uint8_t ASCII_ETX = 0x03;
constexpr uint8_t ASCII_ENQ = 0x05;
constexpr uint8_t ASCII_ACK = 0x06;
constexpr uint8_t ASCII_NAK = 0x15;
constexpr uint8_t ASCII_ETB = 0x17;

// Longest command text a frame carries, and the buffer a frame is built in:
// STX, text, ETX, LRC and a NUL that lets the trace show the frame as text.
constexpr uint32_t kMaxCommandText = 4096;
constexpr uint32_t kFrameBufferSize = kMaxCommandText + 4;

// BlockCheck operations and post-processings.
constexpr int32_t kCheckAnd = 0;
constexpr int32_t kCheckOr = 1;
constexpr int32_t kCheckXor = 2;
constexpr int32_t kCheckSum = 3;
constexpr int32_t kCheckPlain = 0;
constexpr int32_t kCheckComplement = 1;
constexpr int32_t kCheckNegate = 2;

// Folds count bytes (at least the first is always read) with the operation and
// applies the post-processing. An unknown operation gives 0.
int32_t BlockCheck(const uint8_t* bytes, int32_t count, int32_t operation, int32_t post);

// Length of the command text that a frame carries: the bytes before the first
// CR, LF or NUL, at most kMaxCommandText.
uint32_t CommandTextLength(const char* text);

// Builds STX, text, ETX, LRC into frame (kFrameBufferSize bytes) followed by a
// NUL that is not sent; returns the byte count to send (text length + 3).
uint32_t BuildCommandFrame(const char* text, uint8_t* frame);

// 1 when a received reply is a lone ENQ, ACK or NAK, or a frame of at least
// 4 bytes with STX, ETX or ETB before the last byte, and a matching LRC.
int IsValidReply(const uint8_t* bytes, uint32_t length);

// 1 when bytes are a whole reply: a lone ACK, NAK or ENQ, or a frame from STX
// through the check byte that follows its first ETX or ETB, with nothing
// after it.
int IsWholeReply(const uint8_t* bytes, uint32_t length);

// 1 when the command text that a frame would carry (see CommandTextLength)
// holds STX, ETX or ETB: the printer would take it for more than one frame,
// so it is never sent.
int HoldsFramingByte(const char* text);

// The same for a command line held with its length, bytes[0, length): the
// text a frame would carry from it (before the first CR or LF, at most
// kMaxCommandText bytes) holding a NUL counts too. A NUL would end the text
// as a C string, so the printer would get less than the line.
int HoldsFramingByte(const char* bytes, size_t length);

}  // namespace vexolant
