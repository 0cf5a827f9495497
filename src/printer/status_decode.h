// Decoding of the printer's status: folding a 9-byte status frame into the
// frame status and frame error codes, and turning those into the reported
// status code, error code and success flag.
#pragma once

#include <cstdint>

namespace vexolant {

// A data byte that becomes a code unchanged: read as signed 8-bit, widened.
int32_t SignedDataByte(uint8_t byte);

// Codes of a 5-byte status frame (STX D1 D2 ETX LRC): D1 and D2, signed.
void ShortStatusCodes(const uint8_t* frame, int32_t* frameStatus, int32_t* frameError);

// Codes of a 9-byte status frame (STX D1..D6 ETX LRC), by the two ordered rule
// tables; D6 takes no part.
void LongStatusCodes(const uint8_t* frame, int32_t* frameStatus, int32_t* frameError);

// Decodes the frame codes into *status and *error (both always written);
// returns the success flag (1 for the error codes 0, 1, 2 and 232).
int32_t CheckStatus(int32_t frameStatus, int32_t frameError, int32_t* status, int32_t* error);

}  // namespace vexolant
