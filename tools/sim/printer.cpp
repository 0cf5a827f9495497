#include "sim/printer.h"

namespace vexolant::sim {

namespace {

Outgoing Control(uint8_t byte) {
  return {{byte}, false};
}

Bytes TextBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The frames that a status, block, refusal or report answer sends, in order.
std::vector<Bytes> AnswerFrames(const Printer& p, const Script& s, Answer answer) {
  std::vector<Bytes> data;
  if (answer == Answer::Status || answer == Answer::Refuse) {
    data.push_back(s.status.empty() ? p.status : s.status);
  } else if (answer == Answer::Block) {
    data.push_back(TextBytes(BlockText(s, 1)));
  } else if (answer == Answer::Report) {
    for (int i = 1; i <= s.blocks; ++i) data.push_back(TextBytes(BlockText(s, i)));
  }
  std::vector<Bytes> frames;
  for (size_t i = 0; i < data.size(); ++i) {
    const bool last = i + 1 == data.size();
    const uint8_t terminator = answer == Answer::Report && !last ? kEtb : (s.lastEtb ? kEtb : kEtx);
    frames.push_back(BuildFrame(data[i], terminator, static_cast<int>(i) + 1 == s.wrongCheck));
  }
  return frames;
}

Reply RuleReply(Printer& p, Rule& rule) {
  const Answer answer = NextAnswer(rule);
  const Script& s = rule.script;
  Reply reply;
  reply.pacing = s.pacing;
  reply.note = "rule \"" + rule.source + "\": " + AnswerName(answer);
  std::vector<Bytes> frames = AnswerFrames(p, s, answer);
  switch (answer) {
    case Answer::Ack:
      reply.sends.push_back(Control(kAck));
      break;
    case Answer::Nak:
      reply.sends.push_back(Control(kNak));
      break;
    case Answer::Silent:
      break;
    case Answer::Garbage:
      reply.sends.push_back({s.raw, false});
      break;
    case Answer::Status:
    case Answer::Block:
      reply.sends.push_back({frames[0], true});
      break;
    case Answer::Refuse:
    case Answer::Report:
      reply.sends.push_back(Control(kEnq));
      p.chain = {std::move(frames), 0, s.stopAfter, s.hangupAfter, s.pacing};
      break;
  }
  return reply;
}

// A new request ends any chain still waiting for an ACK.
Reply AnswerRequest(Printer& p, bool enq, const std::string& text) {
  const bool abandoned = AwaitingAck(p);
  p.chain = Chain{};
  const int index = MatchRule(p.rules, enq, text);
  Reply reply;
  if (index >= 0) {
    reply = RuleReply(p, p.rules[static_cast<size_t>(index)]);
  } else if (enq) {
    reply.sends.push_back({BuildFrame(p.status, kEtx, false), true});
  } else {
    reply.sends.push_back(Control(kAck));
  }
  if (abandoned) {
    reply.note = "the unfinished answer to the last request is dropped" +
                 (reply.note.empty() ? "" : "; " + reply.note);
  }
  return reply;
}

}  // namespace

Reply OnEnquiry(Printer& p) {
  return AnswerRequest(p, true, "");
}

Reply OnFrame(Printer& p, const Bytes& frame) {
  if (IsGoodFrame(frame)) return AnswerRequest(p, false, FrameText(frame));
  Reply reply;
  reply.sends.push_back(Control(kNak));
  reply.note = "wrong check byte, " + HexByte(ExpectedCheck(frame)) + " expected";
  return reply;
}

Reply OnAck(Printer& p) {
  Reply reply;
  if (!AwaitingAck(p)) return reply;
  Chain& c = p.chain;
  reply.pacing = c.pacing;
  const int sent = static_cast<int>(c.next);
  if (sent == c.hangupAfter || sent == c.stopAfter) {
    reply.hangup = sent == c.hangupAfter;
    reply.note = std::string(reply.hangup ? "hangup" : "stop") + " after " + std::to_string(sent) +
                 " frame(s)";
    c = Chain{};
    return reply;
  }
  reply.sends.push_back({c.frames[c.next++], true});
  if (c.next == c.frames.size()) c = Chain{};
  return reply;
}

bool AwaitingAck(const Printer& p) {
  return p.chain.next < p.chain.frames.size();
}

}  // namespace vexolant::sim
