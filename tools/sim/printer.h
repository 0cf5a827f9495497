// The printer's side of the protocol, without I/O: what to send in answer to
// each request (ENQ or a command frame) and to each ACK of the tool.
#pragma once

#include <string>
#include <vector>

#include "sim/rules.h"
#include "sim/wire.h"

namespace vexolant::sim {

struct Outgoing {
  Bytes bytes;
  bool frame = false;  // the last byte is a check byte (for the log)
};

struct Reply {
  std::vector<Outgoing> sends;
  Pacing pacing;        // the rule's delay before the first byte, and its pieces
  bool hangup = false;  // close the line instead of answering
  std::string note;     // which rule decided, for the log; empty by default
};

// Frames of a refusal or a report still to send, one per ACK of the tool.
struct Chain {
  std::vector<Bytes> frames;
  size_t next = 0;
  int stopAfter = -1;
  int hangupAfter = -1;
  Pacing pacing;
};

struct Printer {
  Bytes status = Bytes(2, 0x40);  // data bytes of its status frame: 2 or 6
  std::vector<Rule> rules;
  Chain chain;
};

Reply OnEnquiry(Printer& printer);
// A complete frame from the tool: a good one is a command, a bad one gets NAK.
Reply OnFrame(Printer& printer, const Bytes& frame);
Reply OnAck(Printer& printer);
// True while a refusal or a report waits for the tool's ACK.
bool AwaitingAck(const Printer& printer);

}  // namespace vexolant::sim
