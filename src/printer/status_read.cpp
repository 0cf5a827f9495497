#include "link/exchange.h"
#include "printer/operations.h"
#include "printer/outcome_texts.h"
#include "printer/status_decode.h"
#include "trace/trace.h"

namespace vexolant {

int32_t ReadFpOrignalStatus(Port* port, int32_t* frameStatus, int32_t* frameError,
                            int32_t sendEnq) {
  TraceText("** ReadFpOrignalStatus ** ");
  static constexpr AttemptSteps kSteps = {.started = "paso r1"};
  ExchangePlan plan;
  plan.texts = &kOutcomeTexts;
  if (sendEnq != 0) {
    // Without the enquiry the printer has announced the frame itself: the
    // port is neither purged nor written, and every attempt is a read alone.
    plan.purgeLabel = "CheckFprinter";
    plan.request = ExchangeRequest::Enq;
  }
  plan.writeLabel = "CheckFprinter: Output";
  plan.readLabel = "CheckFprinter: Input";
  plan.steps = &kSteps;
  ExchangeState state;
  const Reply reply = RunExchange(port, plan, &state);
  const bool shortFrame = reply.length == 5;
  const int32_t outcome =
      JudgeExchange(state, &kOutcomeTexts, shortFrame ? kOutcomeTexts.ok : "CheckFprinter:OK");
  if (outcome != 0) {
    *frameStatus = 0;
    *frameError = outcome;
    return 0;
  }
  if (shortFrame) {
    ShortStatusCodes(reply.bytes, frameStatus, frameError);
  } else {
    LongStatusCodes(reply.bytes, frameStatus, frameError);
  }
  return 1;
}

int32_t ReadFpStatus(Port* port, int32_t* status, int32_t* error) {
  int32_t frameStatus = 0;
  int32_t frameError = 0;
  if (ReadFpOrignalStatus(port, &frameStatus, &frameError, 1) == 0) {
    *status = frameStatus;
    *error = frameError;
    return 0;
  }
  // Any status frame answers the command, whatever the decoded error says.
  CheckStatus(frameStatus, frameError, status, error);
  TraceText("Paso por CheckStatus");
  return 1;
}

}  // namespace vexolant
