// The Telnet codec: commands taken out of received bytes however the reads
// split them, 0xFF doubled and undoubled, the client's option negotiation
// and the COM-PORT-OPTION requests.
#include "link/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vexolant;

namespace {

using Bytes = std::vector<uint8_t>;

// The commands as text: "DO 44", "SB 44 101 0 0 37 128", "CMD 241".
std::string Describe(const TelnetCommand& c) {
  std::string text;
  // Appended piece by piece: GCC 12 takes "text" + std::string for an
  // overlapping copy at -O2.
  const auto named = [](const char* name, int value) {
    std::string shown = name;
    shown += ' ';
    shown += std::to_string(value);
    return shown;
  };
  switch (c.verb) {
    case kTelnetWill:
      return named("WILL", c.option);
    case kTelnetWont:
      return named("WONT", c.option);
    case kTelnetDo:
      return named("DO", c.option);
    case kTelnetDont:
      return named("DONT", c.option);
    case kTelnetSb:
      text = "SB";
      for (uint32_t i = 0; i < c.length; ++i) {
        text += ' ';
        text += std::to_string(c.bytes[i]);
      }
      if (c.cut) text += " cut";
      return text;
    default:
      return named("CMD", c.verb);
  }
}

void Collect(void* context, const TelnetCommand& command) {
  static_cast<std::vector<std::string>*>(context)->push_back(Describe(command));
}

struct Decoded {
  Bytes data;
  std::vector<std::string> commands;
};

// Decodes the stream in reads of `piece` bytes (0: one read).
Decoded Decode(const Bytes& stream, size_t piece) {
  TelnetDecoder decoder;
  Decoded d;
  Bytes buffer = stream;
  const size_t step = piece == 0 ? stream.size() : piece;
  for (size_t at = 0; at < stream.size(); at += step) {
    const auto n = static_cast<uint32_t>(std::min(step, stream.size() - at));
    const uint32_t got =
        TelnetDecode(&decoder, buffer.data() + at, n, buffer.data() + at, Collect, &d.commands);
    d.data.insert(d.data.end(), buffer.begin() + static_cast<long>(at),
                  buffer.begin() + static_cast<long>(at + got));
  }
  return d;
}

struct DecodeCase {
  const char* name;
  Bytes stream;
  Bytes data;
  std::vector<std::string> commands;
};

const DecodeCase kDecodeCases[] = {
    {"plain", {0x02, 'A', 0x03, 0x42}, {0x02, 'A', 0x03, 0x42}, {}},
    {"doubled 0xFF", {0x02, 0xFF, 0xFF, 0x03, 0xFF, 0xFF}, {0x02, 0xFF, 0x03, 0xFF}, {}},
    {"negotiations",
     {'a', 255, 251, 3, 'b', 255, 253, 44, 255, 254, 1, 255, 252, 0},
     {'a', 'b'},
     {"WILL 3", "DO 44", "DONT 1", "WONT 0"}},
    {"com port reply",
     {0x06, 255, 250, 44, 101, 0, 0, 0x25, 0x80, 255, 240, 0x15},
     {0x06, 0x15},
     {"SB 44 101 0 0 37 128"}},
    {"notify states mid-frame",
     {0x02, 'x', 255, 250, 44, 107, 0x30, 255, 240, 'y', 255, 250, 44, 106, 0x60, 255, 240, 0x03},
     {0x02, 'x', 'y', 0x03},
     {"SB 44 107 48", "SB 44 106 96"}},
    {"0xFF inside a sub-negotiation",
     {255, 250, 44, 101, 255, 255, 255, 240, 'z'},
     {'z'},
     {"SB 44 101 255"}},
    {"other commands dropped",
     {'a', 255, 241, 'b', 255, 249, 'c'},
     {'a', 'b', 'c'},
     {"CMD 241", "CMD 249"}},
    {"unterminated sub-negotiation", {255, 250, 44, 1, 255, 241, 'q'}, {'q'}, {"CMD 241"}},
    {"empty sub-negotiation", {255, 250, 255, 240, 'e'}, {'e'}, {}},
};

TEST(TelnetDecode, TakesCommandsOutOfTheDataHoweverTheReadsSplitThem) {
  for (const DecodeCase& c : kDecodeCases) {
    for (size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{3}}) {
      SCOPED_TRACE(std::string(c.name) + ", reads of " + std::to_string(piece));
      const Decoded d = Decode(c.stream, piece);
      EXPECT_EQ(d.data, c.data);
      EXPECT_EQ(d.commands, c.commands);
    }
  }
}

TEST(TelnetDecode, AnOverlongSubNegotiationIsCutNotOverrun) {
  Bytes stream = {255, 250, 44};
  stream.insert(stream.end(), 200, 7);
  stream.insert(stream.end(), {255, 240, 'k'});
  const Decoded d = Decode(stream, 5);
  EXPECT_EQ(d.data, Bytes{'k'});
  ASSERT_EQ(d.commands.size(), 1u);
  EXPECT_TRUE(d.commands[0].ends_with(" cut"));
}

TEST(TelnetEncode, DoublesEvery0xFF) {
  const Bytes in = {0x02, 0xFF, 0x03, 0xFF};
  Bytes out(8);
  out.resize(TelnetEncode(in.data(), 4, out.data()));
  EXPECT_EQ(out, (Bytes{0x02, 0xFF, 0xFF, 0x03, 0xFF, 0xFF}));
  EXPECT_EQ(Decode(out, 1).data, in);
}

TEST(ComPortRequest, FramesTheCommandAndDoublesTheValue) {
  const ComPortSetting& baud = kLineSettings[0];
  Bytes out(16);
  out.resize(ComPortRequest(baud.command, baud.value, baud.length, out.data()));
  EXPECT_EQ(out, (Bytes{255, 250, 44, 1, 0, 0, 0x25, 0x80, 255, 240}));
  const uint8_t odd[] = {0xFF};
  out.resize(16);
  out.resize(ComPortRequest(kComPortPurgeData, odd, 1, out.data()));
  EXPECT_EQ(out, (Bytes{255, 250, 44, 12, 255, 255, 255, 240}));
}

TEST(ComPortRequest, TheLineIs9600EvenParityWithoutFlowControl) {
  std::vector<std::string> rows;
  for (const ComPortSetting& s : kLineSettings) {
    Bytes out(16);
    out.resize(ComPortRequest(s.command, s.value, s.length, out.data()));
    rows.push_back(Decode(out, 0).commands.at(0));
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"SB 44 1 0 0 37 128", "SB 44 2 8", "SB 44 3 3",
                                            "SB 44 4 1", "SB 44 5 1"}));
}

// The negotiation: received verbs in order, the answer to each, and where it
// stands at the end.
struct NegotiationCase {
  const char* name;
  std::vector<std::pair<uint8_t, uint8_t>> received;
  std::vector<std::string> answers;
  TelnetReady end;
};

const NegotiationCase kNegotiationCases[] = {
    {"a server that agrees",
     {{kTelnetDo, 0}, {kTelnetWill, 0}, {kTelnetDo, 3}, {kTelnetWill, 3}, {kTelnetDo, 44}},
     {},
     TelnetReady::Ready},
    {"answers in another order, and its own requests",
     {{kTelnetWill, 3},
      {kTelnetDo, 3},
      {kTelnetWill, 1},
      {kTelnetDont, 1},
      {kTelnetDo, 0},
      {kTelnetWill, 0},
      {kTelnetDo, 44},
      {kTelnetDo, 3}},
     {"DONT 1"},
     TelnetReady::Ready},
    {"the server asks for an option the client does not take",
     {{kTelnetDo, 24}, {kTelnetDo, 0}, {kTelnetWill, 0}, {kTelnetDo, 44}},
     {"WONT 24"},
     TelnetReady::Ready},
    {"no COM-PORT-OPTION yet", {{kTelnetDo, 0}, {kTelnetWill, 0}}, {}, TelnetReady::Pending},
    {"COM-PORT-OPTION refused",
     {{kTelnetDo, 0}, {kTelnetWill, 0}, {kTelnetDont, 44}},
     {},
     TelnetReady::Refused},
    {"BINARY refused", {{kTelnetWont, 0}, {kTelnetDo, 44}}, {}, TelnetReady::Refused},
    {"COM-PORT-OPTION taken back later",
     {{kTelnetDo, 0}, {kTelnetWill, 0}, {kTelnetDo, 44}, {kTelnetDont, 44}},
     {"WONT 44"},
     TelnetReady::Refused},
};

TEST(TelnetAnswer, NegotiatesTheClientsOptionsWithoutLoops) {
  for (const NegotiationCase& c : kNegotiationCases) {
    SCOPED_TRACE(c.name);
    TelnetOptions options;
    uint8_t start[16];
    EXPECT_EQ(Decode(Bytes(start, start + TelnetStart(&options, start)), 0).commands,
              (std::vector<std::string>{"WILL 0", "DO 0", "WILL 3", "DO 3", "WILL 44"}));
    std::vector<std::string> answers;
    for (const auto& [verb, option] : c.received) {
      uint8_t out[3];
      const uint32_t n = TelnetAnswer(&options, verb, option, out);
      if (n > 0) {
        const std::vector<std::string> one = Decode(Bytes(out, out + n), 0).commands;
        answers.insert(answers.end(), one.begin(), one.end());
      }
    }
    EXPECT_EQ(answers, c.answers);
    EXPECT_EQ(TelnetNegotiated(options), c.end);
  }
}

}  // namespace
