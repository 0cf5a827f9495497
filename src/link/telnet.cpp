#include "link/telnet.h"

namespace vexolant {

namespace {

void Deliver(TelnetCommandFn onCommand, void* context, const TelnetCommand& command) {
  if (onCommand != nullptr) onCommand(context, command);
}

// The byte that follows an IAC outside a sub-negotiation.
void AfterIac(TelnetDecoder* d, uint8_t byte, TelnetCommandFn onCommand, void* context) {
  switch (byte) {
    case kTelnetWill:
    case kTelnetWont:
    case kTelnetDo:
    case kTelnetDont:
      d->verb = byte;
      d->state = TelnetState::Option;
      return;
    case kTelnetSb:
      d->subLength = 0;
      d->subCut = false;
      d->state = TelnetState::Sub;
      return;
    default: {
      TelnetCommand command;
      command.verb = byte;
      Deliver(onCommand, context, command);
      d->state = TelnetState::Data;
      return;
    }
  }
}

void KeepSubByte(TelnetDecoder* d, uint8_t byte) {
  if (d->subLength < kMaxSubnegotiation) {
    d->sub[d->subLength++] = byte;
  } else {
    d->subCut = true;
  }
}

uint8_t Bit(uint8_t option) {
  switch (option) {
    case kOptionBinary:
      return kBitBinary;
    case kOptionSga:
      return kBitSga;
    case kOptionComPort:
      return kBitComPort;
    default:
      return 0;
  }
}

// The options the client takes at its side and wants at the server's.
constexpr uint8_t kWantedUs = kBitBinary | kBitSga | kBitComPort;
constexpr uint8_t kWantedHim = kBitBinary | kBitSga;

// An option that the other side turns on: taken when wanted (answered
// unless it answers our own request), else refused with `no`.
uint32_t TurnOn(uint8_t bit, uint8_t wanted, uint8_t* on, uint8_t* asked, uint8_t yes, uint8_t no,
                uint8_t option, uint8_t* out) {
  if ((bit & wanted) == 0) return TelnetNegotiation(no, option, out);
  if ((*on & bit) != 0) return 0;
  *on |= bit;
  if ((*asked & bit) != 0) {
    *asked &= static_cast<uint8_t>(~bit);
    return 0;
  }
  return TelnetNegotiation(yes, option, out);
}

// An option that the other side turns off or refuses.
uint32_t TurnOff(uint8_t bit, uint8_t* on, uint8_t* asked, uint8_t* refused, uint8_t no,
                 uint8_t option, uint8_t* out) {
  if (bit == 0) return 0;
  const bool wasOn = (*on & bit) != 0;
  const bool wasAsked = (*asked & bit) != 0;
  *on &= static_cast<uint8_t>(~bit);
  *asked &= static_cast<uint8_t>(~bit);
  if (!wasOn && !wasAsked) return 0;
  *refused |= bit;
  return wasOn && !wasAsked ? TelnetNegotiation(no, option, out) : 0;
}

}  // namespace

uint32_t TelnetDecode(TelnetDecoder* d, const uint8_t* in, uint32_t count, uint8_t* out,
                      TelnetCommandFn onCommand, void* context) {
  uint32_t written = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t byte = in[i];
    switch (d->state) {
      case TelnetState::Data:
        if (byte == kTelnetIac) {
          d->state = TelnetState::Iac;
        } else {
          out[written++] = byte;
        }
        break;
      case TelnetState::Iac:
        if (byte == kTelnetIac) {
          out[written++] = byte;
          d->state = TelnetState::Data;
        } else {
          AfterIac(d, byte, onCommand, context);
        }
        break;
      case TelnetState::Option: {
        TelnetCommand command;
        command.verb = d->verb;
        command.option = byte;
        Deliver(onCommand, context, command);
        d->state = TelnetState::Data;
        break;
      }
      case TelnetState::Sub:
        if (byte == kTelnetIac) {
          d->state = TelnetState::SubIac;
        } else {
          KeepSubByte(d, byte);
        }
        break;
      case TelnetState::SubIac:
        if (byte == kTelnetIac) {
          KeepSubByte(d, byte);
          d->state = TelnetState::Sub;
        } else if (byte == kTelnetSe) {
          TelnetCommand command;
          command.verb = kTelnetSb;
          command.option = d->subLength > 0 ? d->sub[0] : 0;
          command.bytes = d->sub;
          command.length = d->subLength;
          command.cut = d->subCut;
          if (d->subLength > 0) Deliver(onCommand, context, command);
          d->state = TelnetState::Data;
        } else {
          // An unterminated sub-negotiation: dropped, and the byte read as
          // the command that this IAC starts.
          AfterIac(d, byte, onCommand, context);
        }
        break;
    }
  }
  return written;
}

uint32_t TelnetEncode(const uint8_t* in, uint32_t count, uint8_t* out) {
  uint32_t written = 0;
  for (uint32_t i = 0; i < count; ++i) {
    out[written++] = in[i];
    if (in[i] == kTelnetIac) out[written++] = kTelnetIac;
  }
  return written;
}

uint32_t TelnetNegotiation(uint8_t verb, uint8_t option, uint8_t* out) {
  out[0] = kTelnetIac;
  out[1] = verb;
  out[2] = option;
  return 3;
}

uint32_t ComPortRequest(uint8_t command, const uint8_t* value, uint32_t length, uint8_t* out) {
  uint32_t n = 0;
  out[n++] = kTelnetIac;
  out[n++] = kTelnetSb;
  out[n++] = kOptionComPort;
  n += TelnetEncode(&command, 1, out + n);
  n += TelnetEncode(value, length, out + n);
  out[n++] = kTelnetIac;
  out[n++] = kTelnetSe;
  return n;
}

uint32_t TelnetStart(TelnetOptions* options, uint8_t* out) {
  uint32_t n = 0;
  n += TelnetNegotiation(kTelnetWill, kOptionBinary, out + n);
  n += TelnetNegotiation(kTelnetDo, kOptionBinary, out + n);
  n += TelnetNegotiation(kTelnetWill, kOptionSga, out + n);
  n += TelnetNegotiation(kTelnetDo, kOptionSga, out + n);
  n += TelnetNegotiation(kTelnetWill, kOptionComPort, out + n);
  options->usAsked |= kWantedUs & static_cast<uint8_t>(~options->usOn);
  options->himAsked |= kWantedHim & static_cast<uint8_t>(~options->himOn);
  return n;
}

uint32_t TelnetAnswer(TelnetOptions* o, uint8_t verb, uint8_t option, uint8_t* out) {
  const uint8_t bit = Bit(option);
  switch (verb) {
    case kTelnetDo:
      return TurnOn(bit, kWantedUs, &o->usOn, &o->usAsked, kTelnetWill, kTelnetWont, option, out);
    case kTelnetWill:
      return TurnOn(bit, kWantedHim, &o->himOn, &o->himAsked, kTelnetDo, kTelnetDont, option, out);
    case kTelnetDont:
      return TurnOff(bit & kWantedUs, &o->usOn, &o->usAsked, &o->refused, kTelnetWont, option, out);
    case kTelnetWont:
      return TurnOff(bit & kWantedHim, &o->himOn, &o->himAsked, &o->refused, kTelnetDont, option,
                     out);
    default:
      return 0;
  }
}

TelnetReady TelnetNegotiated(const TelnetOptions& o) {
  constexpr uint8_t kNeeded = kBitBinary | kBitComPort;
  if ((o.refused & kNeeded) != 0) return TelnetReady::Refused;
  if ((o.usOn & kNeeded) == kNeeded && (o.himOn & kBitBinary) != 0) return TelnetReady::Ready;
  return TelnetReady::Pending;
}

}  // namespace vexolant
