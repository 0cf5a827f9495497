// The printer's status: 5- and 9-byte status frames folded into frame codes,
// and any frame codes decoded by CheckStatus into a status, an error and the
// success flag.
#include <cstring>

#include "fuzz.h"
#include "printer/status_decode.h"

using namespace vexolant;

namespace {

constexpr int32_t kHighestStatus = 19;

void CheckDecoded(int32_t frameStatus, int32_t frameError) {
  int32_t status = -1;
  int32_t error = -1;
  const int32_t success = CheckStatus(frameStatus, frameError, &status, &error);
  FUZZ_CHECK(status >= 0 && status <= kHighestStatus);
  FUZZ_CHECK(error >= 0 && error <= 0xFF);
  // Success is the flag of the error codes that report no failure.
  const bool harmless = error == 0 || error == 1 || error == 2 || error == 232;
  FUZZ_CHECK(success == (harmless ? 1 : 0));
  // The same codes decode the same way.
  int32_t again[2];
  FUZZ_CHECK(CheckStatus(frameStatus, frameError, &again[0], &again[1]) == success);
  FUZZ_CHECK(again[0] == status && again[1] == error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A 9-byte frame: STX D1..D6 ETX LRC (only the data bytes take part).
  uint8_t frame[9] = {};
  std::memcpy(frame, data, size < sizeof frame ? size : sizeof frame);
  int32_t frameStatus = 0;
  int32_t frameError = 0;
  ShortStatusCodes(frame, &frameStatus, &frameError);
  FUZZ_CHECK(frameStatus >= -128 && frameStatus <= 127 && frameError >= -128 && frameError <= 127);
  CheckDecoded(frameStatus, frameError);
  LongStatusCodes(frame, &frameStatus, &frameError);
  // D6 takes no part in the folding.
  uint8_t otherD6[9];
  std::memcpy(otherD6, frame, sizeof frame);
  otherD6[6] ^= 0xFF;
  int32_t codes[2];
  LongStatusCodes(otherD6, &codes[0], &codes[1]);
  FUZZ_CHECK(codes[0] == frameStatus && codes[1] == frameError);
  CheckDecoded(frameStatus, frameError);
  // Frame codes of any value, as a caller of the library may pass.
  if (size >= 8) {
    int32_t raw[2];
    std::memcpy(raw, data + size - 8, sizeof raw);
    CheckDecoded(raw[0], raw[1]);
  }
  return 0;
}
