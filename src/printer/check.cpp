#include "link/exchange.h"
#include "printer/operations.h"
#include "trace/trace.h"

// Any valid status frame answers the check; its content is not looked at.
int32_t CheckFprinter() {
  TraceText("** CheckFprinter: Prueba de Impresora** ");
  ExchangeSpec spec;
  spec.purgeLabel = "CheckFprinter";
  spec.request = ExchangeRequest::Enq;
  spec.writeLabel = "CheckFprinter: Output";
  spec.readLabel = "CheckFprinter:";
  ExchangeState state;
  RunExchange(spec, &state);
  return JudgeExchange(state, true, kExchangeOk) == 0 ? 1 : 0;
}
