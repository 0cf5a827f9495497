// Telnet as a network serial port speaks it (RFC 854, RFC 2217): a decoder
// that takes the commands out of a received byte stream, an encoder that
// doubles 0xFF in data, the option negotiation of the client, and the
// COM-PORT-OPTION requests that set the line.
//
// Everything here is pure: the decoder keeps its state in a record of its
// own, so a command split across reads is taken out whole.
#pragma once

#include <cstdint>

namespace vexolant {

// Telnet bytes.
constexpr uint8_t kTelnetIac = 255;
constexpr uint8_t kTelnetDont = 254;
constexpr uint8_t kTelnetDo = 253;
constexpr uint8_t kTelnetWont = 252;
constexpr uint8_t kTelnetWill = 251;
constexpr uint8_t kTelnetSb = 250;
constexpr uint8_t kTelnetNop = 241;
constexpr uint8_t kTelnetSe = 240;

// Options.
constexpr uint8_t kOptionBinary = 0;
constexpr uint8_t kOptionEcho = 1;
constexpr uint8_t kOptionSga = 3;
constexpr uint8_t kOptionComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers each
// with the same command plus kComPortServer.
constexpr uint8_t kComPortSignature = 0;
constexpr uint8_t kComPortSetBaudRate = 1;
constexpr uint8_t kComPortSetDataSize = 2;
constexpr uint8_t kComPortSetParity = 3;
constexpr uint8_t kComPortSetStopSize = 4;
constexpr uint8_t kComPortSetControl = 5;
constexpr uint8_t kComPortNotifyLineState = 6;
constexpr uint8_t kComPortNotifyModemState = 7;
constexpr uint8_t kComPortPurgeData = 12;
constexpr uint8_t kComPortServer = 100;

constexpr uint8_t kParityEven = 3;
constexpr uint8_t kControlNoFlow = 1;
constexpr uint8_t kPurgeBoth = 3;

// The longest sub-negotiation kept, option byte included; longer ones are
// passed on cut to this length, marked as such.
constexpr uint32_t kMaxSubnegotiation = 64;

// One command taken out of the stream: a negotiation (verb WILL, WONT, DO
// or DONT with its option), a sub-negotiation (verb SB; bytes[0] is the
// option, the rest its data with IAC IAC undoubled) or another command (its
// byte as verb, such as NOP).
struct TelnetCommand {
  uint8_t verb = 0;
  uint8_t option = 0;
  const uint8_t* bytes = nullptr;  // sub-negotiation only
  uint32_t length = 0;
  bool cut = false;  // the sub-negotiation was longer than kMaxSubnegotiation
};

using TelnetCommandFn = void (*)(void* context, const TelnetCommand& command);

enum class TelnetState : uint8_t { Data, Iac, Option, Sub, SubIac };

struct TelnetDecoder {
  TelnetState state = TelnetState::Data;
  uint8_t verb = 0;
  uint8_t sub[kMaxSubnegotiation] = {};
  uint32_t subLength = 0;
  bool subCut = false;
};

// Decodes count received bytes: the data bytes go to out (which may be in
// itself: out never runs ahead of the input), each whole command to
// onCommand (when given). Returns the data bytes written.
uint32_t TelnetDecode(TelnetDecoder* decoder, const uint8_t* in, uint32_t count, uint8_t* out,
                      TelnetCommandFn onCommand, void* context);

// Encodes count data bytes into out (room for 2 x count): every 0xFF doubled.
// Returns the bytes written.
uint32_t TelnetEncode(const uint8_t* in, uint32_t count, uint8_t* out);

// IAC verb option into out (3 bytes).
uint32_t TelnetNegotiation(uint8_t verb, uint8_t option, uint8_t* out);

// IAC SB COM-PORT-OPTION command value... IAC SE into out (room for 6 + 2 x
// length); 0xFF in the value doubled.
uint32_t ComPortRequest(uint8_t command, const uint8_t* value, uint32_t length, uint8_t* out);

// The line the client asks for: 9600 baud, 8 data bits, even parity, 1 stop
// bit, no flow control. Each row is one request and the answer expected.
struct ComPortSetting {
  uint8_t command;
  uint8_t value[4];
  uint8_t length;
  const char* what;
};
inline constexpr ComPortSetting kLineSettings[] = {
    {kComPortSetBaudRate, {0x00, 0x00, 0x25, 0x80}, 4, "baud rate"},
    {kComPortSetDataSize, {8}, 1, "data size"},
    {kComPortSetParity, {kParityEven}, 1, "parity"},
    {kComPortSetStopSize, {1}, 1, "stop size"},
    {kComPortSetControl, {kControlNoFlow}, 1, "flow control"},
};
constexpr uint32_t kLineSettingCount = sizeof kLineSettings / sizeof kLineSettings[0];

// The client's side of the option negotiation: BINARY and SGA both ways,
// COM-PORT-OPTION on the client's side; every other option refused.
struct TelnetOptions {
  uint8_t usOn = 0;     // bits of kNegotiated: options on at our side
  uint8_t himOn = 0;    // on at the server's side
  uint8_t usAsked = 0;  // asked for and not yet answered
  uint8_t himAsked = 0;
  uint8_t refused = 0;  // options the server refused to take part in
};

// The bits of the options above, in TelnetOptions' masks.
constexpr uint8_t kBitBinary = 1;
constexpr uint8_t kBitSga = 2;
constexpr uint8_t kBitComPort = 4;

// The client's opening requests into out (at most 15 bytes); marks them
// asked. Returns the bytes written.
uint32_t TelnetStart(TelnetOptions* options, uint8_t* out);

// The answer to a received negotiation into out (at most 3 bytes), as the
// state asks; the state follows. Returns the bytes written (0: none due).
uint32_t TelnetAnswer(TelnetOptions* options, uint8_t verb, uint8_t option, uint8_t* out);

// Where the negotiation stands.
enum class TelnetReady { Pending, Ready, Refused };
TelnetReady TelnetNegotiated(const TelnetOptions& options);

}  // namespace vexolant
