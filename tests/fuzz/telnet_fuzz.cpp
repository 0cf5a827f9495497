// The Telnet decoder over any bytes: no crash, never more data out than
// bytes in; and any data, encoded, with Telnet commands put in anywhere and
// read in pieces of any size, comes out as it went in.
#include <algorithm>
#include <vector>

#include "fuzz.h"
#include "link/telnet.h"

using namespace vexolant;

namespace {

using Bytes = std::vector<uint8_t>;

// Commands a server may put between data bytes.
const Bytes kCommands[] = {
    {kTelnetIac, kTelnetNop},
    {kTelnetIac, kTelnetWill, kOptionEcho},
    {kTelnetIac, kTelnetDo, kOptionComPort},
    {kTelnetIac, kTelnetSb, kOptionComPort, 107, 0x30, kTelnetIac, kTelnetSe},
    {kTelnetIac, kTelnetSb, kOptionComPort, 106, kTelnetIac, kTelnetIac, kTelnetIac, kTelnetSe},
    {kTelnetIac, kTelnetSb, kOptionComPort, 112, 3, kTelnetIac, kTelnetSe},
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

void Ignore(void*, const TelnetCommand& command) {
  FUZZ_CHECK(command.length <= kMaxSubnegotiation);
}

Bytes DecodeInPieces(const Bytes& stream, size_t piece) {
  TelnetDecoder decoder;
  Bytes buffer = stream;
  Bytes data;
  for (size_t at = 0; at < buffer.size(); at += piece) {
    const auto n = static_cast<uint32_t>(std::min(piece, buffer.size() - at));
    const uint32_t got =
        TelnetDecode(&decoder, buffer.data() + at, n, buffer.data() + at, Ignore, nullptr);
    FUZZ_CHECK(got <= n);
    data.insert(data.end(), buffer.begin() + static_cast<long>(at),
                buffer.begin() + static_cast<long>(at + got));
  }
  return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 1 << 16) return 0;
  const Bytes input(data, data + size);
  // Any stream: decoded whole and byte by byte alike.
  FUZZ_CHECK(DecodeInPieces(input, size) == DecodeInPieces(input, 1));

  const uint8_t seed = data[0];
  const Bytes payload(data + 1, data + size);
  Bytes stream;
  for (size_t i = 0; i < payload.size(); ++i) {
    uint8_t encoded[2];
    const uint32_t n = TelnetEncode(&payload[i], 1, encoded);
    FUZZ_CHECK(n == (payload[i] == kTelnetIac ? 2u : 1u));
    stream.insert(stream.end(), encoded, encoded + n);
    if ((payload[i] ^ static_cast<uint8_t>(i * seed)) % 5 == 0) {
      const Bytes& command = kCommands[(payload[i] + i) % kCommandCount];
      stream.insert(stream.end(), command.begin(), command.end());
    }
  }
  const size_t piece = seed % 7 + 1;
  FUZZ_CHECK(DecodeInPieces(stream, piece) == payload);
  FUZZ_CHECK(DecodeInPieces(stream, stream.size() + 1) == payload);
  return 0;
}
