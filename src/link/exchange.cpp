#include "link/exchange.h"

#include <algorithm>

#include "link/frame.h"
#include "link/outcome.h"
#include "link/port.h"
#include "trace/trace.h"

namespace vexolant {

namespace {

enum class AttemptEnd { Retry, Stop };

void Step(const ExchangePlan& plan, const char* AttemptSteps::*which) {
  if (plan.steps != nullptr && plan.steps->*which != nullptr) TraceText(plan.steps->*which);
}

void ClearReplyFlags(ExchangeState* state) {
  state->bAnswer_Error = false;
  state->bNotAnswer_Error = false;
  state->bNAK_Error = false;
}

// Sends the request of one attempt and pauses before its read; 0 when the
// write failed.
int SendRequest(Port* port, const ExchangePlan& plan, ExchangeState* state) {
  if (plan.request == ExchangeRequest::None) return 1;
  const int sent =
      plan.request == ExchangeRequest::Enq
          ? SendControlByte(port, ASCII_ENQ, plan.writeLabel, &state->osError)
          : SendCommandFrame(port, plan.text, plan.traceFrame, plan.writeLabel, &state->osError);
  if (sent == 0) return 0;
  Pause(port, kReplyPauseMs);
  return 1;
}

AttemptEnd ClassifyControlByte(Port* port, const ExchangePlan& plan, ExchangeState* state,
                               uint8_t byte) {
  if (byte == ASCII_NAK) {
    Step(plan, &AttemptSteps::nak);
    state->bNAK_Error = true;
    if (state->attempt < kLastAttempt) Pause(port, kNakPauseMs);
    return AttemptEnd::Retry;
  }
  if (byte == ASCII_ACK) {
    Step(plan, &AttemptSteps::ack);
    if (!plan.ackAccepts) state->bAnswer_Error = true;
    return AttemptEnd::Stop;
  }
  Step(plan, &AttemptSteps::enq);
  if (plan.onEnq != nullptr) {
    plan.onEnq(port, state, plan.context);
  } else {
    state->bAnswer_Error = true;
  }
  return AttemptEnd::Stop;
}

AttemptEnd Classify(Port* port, const ExchangePlan& plan, ExchangeState* state,
                    const Reply& reply) {
  if (reply.length == 0) {
    TraceError(plan.texts->silent, static_cast<int32_t>(state->attempt));
    state->bNotAnswer_Error = true;
    return AttemptEnd::Retry;
  }
  if (IsValidReply(reply.bytes, reply.length) == 0) {
    Step(plan, &AttemptSteps::invalid);
    state->bAnswer_Error = true;
    return AttemptEnd::Stop;
  }
  if (reply.length == 1) return ClassifyControlByte(port, plan, state, reply.bytes[0]);
  if (reply.length == 5 || reply.length == 9) return AttemptEnd::Stop;
  Step(plan, &AttemptSteps::length);
  TraceError(plan.texts->badLength, static_cast<int32_t>(reply.length));
  state->bAnswer_Error = true;
  return AttemptEnd::Stop;
}

// Index of the first ETX or ETB at or after from, or kBlockCapacity when none.
uint32_t FindTerminator(const Block& block, uint32_t from) {
  for (uint32_t i = from; i < block.length; ++i) {
    if (block.bytes[i] == ASCII_ETX || block.bytes[i] == ASCII_ETB) return i;
  }
  return kBlockCapacity;
}

}  // namespace

Reply RunExchange(Port* port, const ExchangePlan& plan, ExchangeState* state) {
  Reply reply;
  *state = ExchangeState{};
  if (plan.purgeLabel != nullptr && PurgeForExchange(port, plan.purgeLabel, &state->osError) == 0) {
    return reply;
  }
  Step(plan, &AttemptSteps::started);
  const uint32_t readSize = std::min(plan.readSize, kStatusReadSize);
  AttemptEnd end = AttemptEnd::Retry;
  while (end == AttemptEnd::Retry && state->attempt <= kLastAttempt) {
    if (SendRequest(port, plan, state) == 0) break;
    reply.length = PortRead(port, reply.bytes, readSize, &state->osError);
    if (state->osError != 0) {
      reply.length = 0;
      TraceError(plan.readLabel, state->osError);
      break;
    }
    ClearReplyFlags(state);
    Step(plan, &AttemptSteps::read);
    end = Classify(port, plan, state, reply);
    if (end == AttemptEnd::Retry) ++state->attempt;
  }
  return reply;
}

int32_t JudgeExchange(const ExchangeState& state, const OutcomeTexts* texts,
                      const char* successText) {
  struct OutcomeRow {
    bool ExchangeState::*flag;
    int32_t code;
    const char* OutcomeTexts::*text;
  };
  static constexpr OutcomeRow kFlagRows[] = {
      {&ExchangeState::bAnswer_Error, FP_ANSWER_ERROR, &OutcomeTexts::answer},
      {&ExchangeState::bNotAnswer_Error, FP_NO_ANSWER, &OutcomeTexts::noAnswer},
      {&ExchangeState::bNAK_Error, FP_NAK_ERROR, &OutcomeTexts::nak},
  };
  if (state.osError != 0) {
    if (texts != nullptr) TraceError(texts->portFailed, state.osError);
    return FP_PORT_ERROR;
  }
  for (const OutcomeRow& row : kFlagRows) {
    if (state.*row.flag) {
      if (texts != nullptr) TraceError(texts->*row.text, 0);
      return row.code;
    }
  }
  if (texts != nullptr && successText != nullptr) TraceText(successText);
  return 0;
}

int PurgeForExchange(Port* port, const char* failLabel, int32_t* osError) {
  if (PortPurge(port) != 0) return 1;
  *osError = PortLastError(port);
  TraceError(failLabel, *osError);
  return 0;
}

int SendCommandFrame(Port* port, const char* text, bool traceFrame, const char* failLabel,
                     int32_t* osError) {
  uint8_t frame[kFrameBufferSize];
  const uint32_t count = BuildCommandFrame(text != nullptr ? text : "", frame);
  if (traceFrame) TraceStr("Salida", reinterpret_cast<const char*>(frame));
  PortWrite(port, frame, count, osError);
  if (*osError == 0) return 1;
  TraceError(failLabel, *osError);
  return 0;
}

int SendControlByte(Port* port, uint8_t byte, const char* failLabel, int32_t* osError) {
  PortWrite(port, &byte, 1, osError);
  if (*osError == 0) return 1;
  TraceError(failLabel, *osError);
  return 0;
}

void CollectBlock(Port* port, Block* block, uint32_t piece, const char* pieceTrace,
                  const char* readFailLabel, int32_t* osError) {
  block->length = 0;
  block->bytes[0] = 0;
  block->cut = false;
  uint32_t terminator = kBlockCapacity;  // none held yet
  uint64_t deadline = 0;                 // set once the first byte is in
  while (block->length < kBlockCapacity) {
    ReadCall call{block->bytes, block->length, std::min(piece, kBlockCapacity - block->length),
                  kNoReadLimit};
    if (block->length > 0) {
      const uint64_t now = PortNow(port);
      if (now >= deadline) {
        block->cut = true;
        return;
      }
      call.limitMs = static_cast<uint32_t>(deadline - now);
    }
    const uint32_t got = std::min(PortReadCall(port, call, osError), call.max);
    if (*osError != 0) {
      TraceError(readFailLabel, *osError);
      return;
    }
    const uint32_t scanFrom = block->length;
    if (scanFrom == 0 && got > 0) deadline = PortNow(port) + kBlockDeadlineMs;
    block->length += got;
    block->bytes[block->length] = 0;
    if (pieceTrace != nullptr) TraceStr(pieceTrace, reinterpret_cast<const char*>(block->bytes));
    if (got == 0) {
      // Silence within a block whose deadline ran out cuts it.
      block->cut = scanFrom > 0 && PortNow(port) >= deadline;
      return;
    }
    if (terminator == kBlockCapacity) terminator = FindTerminator(*block, scanFrom);
    if (terminator + 1 < block->length) return;
  }
}

BlockVerdict JudgeBlock(const Block& block, ExchangeState* state) {
  if (block.length == 0) {
    state->bNotAnswer_Error = true;
    return BlockVerdict::Empty;
  }
  ClearReplyFlags(state);
  if (block.cut || IsValidReply(block.bytes, block.length) == 0) {
    state->bAnswer_Error = true;
    return BlockVerdict::Failed;
  }
  if (block.length > 1) return BlockVerdict::Accepted;
  if (block.bytes[0] == ASCII_NAK) {
    state->bNAK_Error = true;
  } else {
    state->bAnswer_Error = true;
  }
  return BlockVerdict::Failed;
}

int RefuseFramingBytes(const char* text, int32_t* status, int32_t* error) {
  if (HoldsFramingByte(text) == 0) return 0;
  TraceError("Comando con STX, ETX o ETB", FP_TEXT_ERROR);
  *status = 0;
  *error = FP_TEXT_ERROR;
  return 1;
}

}  // namespace vexolant
