// Outcome codes of a printer exchange, judged in this order at its end.
#pragma once

#include <cstdint>

namespace vexolant {

constexpr int32_t FP_PORT_ERROR = 145;    // a purge, write or read failed
constexpr int32_t FP_ANSWER_ERROR = 144;  // invalid reply, or one the exchange does not accept
constexpr int32_t FP_NO_ANSWER = 137;     // the last read brought no byte
constexpr int32_t FP_NAK_ERROR = 128;     // the last reply was NAK
constexpr int32_t FP_FILE_ERROR = 153;    // an output or command file cannot be opened or written
// A command text holding STX, ETX or ETB: the printer would read it as more
// than one frame, so it is refused before anything is sent.
constexpr int32_t FP_TEXT_ERROR = 146;
// An upload that went on past its size bound: the file keeps what was stored
// before, and the block over the bound gets no ACK.
constexpr int32_t FP_UPLOAD_LIMIT = 147;

}  // namespace vexolant
