#include "link/exchange.h"
#include "printer/operations.h"
#include "printer/outcome_texts.h"
#include "trace/trace.h"

namespace vexolant {

// Any valid status frame answers the check; its content is not looked at.
int32_t CheckFprinter(Port* port) {
  TraceText("** CheckFprinter: Prueba de Impresora** ");
  ExchangePlan plan;
  plan.texts = &kOutcomeTexts;
  plan.purgeLabel = "CheckFprinter";
  plan.request = ExchangeRequest::Enq;
  plan.writeLabel = "CheckFprinter: Output";
  plan.readLabel = "CheckFprinter:";
  ExchangeState state;
  RunExchange(port, plan, &state);
  return JudgeExchange(state, &kOutcomeTexts, kOutcomeTexts.ok) == 0 ? 1 : 0;
}

}  // namespace vexolant
