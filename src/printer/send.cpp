#include "link/exchange.h"
#include "link/frame.h"
#include "link/outcome.h"
#include "link/port.h"
#include "printer/operations.h"
#include "printer/outcome_texts.h"
#include "printer/status_decode.h"
#include "trace/trace.h"

namespace vexolant {

namespace {

// What the printer said about a command it refused with ENQ.
struct Refusal {
  bool cmderror = false;
  int32_t bretstatus = 0;
  int32_t frameStatus = 0;
  int32_t frameError = 0;
};

// The printer refused the command and offers its status: acknowledge, then
// read the status frame it sends without being asked.
void ReadRefusal(Port* port, ExchangeState* state, void* context) {
  Refusal* refusal = static_cast<Refusal*>(context);
  if (SendControlByte(port, ASCII_ACK, "SendCmd: Output2", &state->osError) == 0) return;
  Pause(port, kReplyPauseMs);
  refusal->cmderror = true;
  refusal->bretstatus = ReadFpOrignalStatus(port, &refusal->frameStatus, &refusal->frameError, 0);
  if (refusal->bretstatus == 0) TraceError("SendCmd: Comunication", refusal->frameError);
}

}  // namespace

int32_t SendCmd(Port* port, int32_t* status, int32_t* error, const char* text) {
  TraceText("** SendCmd ** ");
  if (RefuseFramingBytes(text, status, error) != 0) return 0;
  static constexpr AttemptSteps kSteps = {.read = "paso 1",
                                          .invalid = "paso 2",
                                          .ack = "paso ASCII_ACK",
                                          .nak = "paso 4",
                                          .enq = "paso 5",
                                          .length = "paso 6"};
  Refusal refusal;
  ExchangePlan plan;
  plan.texts = &kOutcomeTexts;
  plan.purgeLabel = "CheckFprinter";
  plan.request = ExchangeRequest::Frame;
  plan.text = text;
  plan.traceFrame = true;
  plan.writeLabel = "SendCmd: Output1";
  plan.readLabel = "SendCmd: Input";
  plan.steps = &kSteps;
  plan.ackAccepts = true;
  plan.onEnq = ReadRefusal;
  plan.context = &refusal;
  ExchangeState state;
  RunExchange(port, plan, &state);

  const char* successText = kOutcomeTexts.ok;
  if (refusal.cmderror) {
    successText = refusal.bretstatus != 0
                      ? "paso cmderror y bretstatus verdadero y va a check status"
                      : "paso cmderror y bret falso";
  }
  const int32_t outcome = JudgeExchange(state, &kOutcomeTexts, successText);
  *status = 0;
  *error = outcome;
  if (outcome != 0) return 0;
  if (!refusal.cmderror) return 1;
  if (refusal.bretstatus == 0) {
    *status = refusal.frameStatus;
    *error = refusal.frameError;
    return 0;
  }
  return CheckStatus(refusal.frameStatus, refusal.frameError, status, error) != 0 ? 1 : 0;
}

}  // namespace vexolant
