// The trace texts of exchange outcomes that every printer operation shares.
#pragma once

#include "link/exchange.h"

namespace vexolant {

inline constexpr OutcomeTexts kOutcomeTexts = {
    .silent = "CheckFprinter: Timeout Ciclo",
    .badLength = "CheckFprinter: Longitud",
    .portFailed = "CheckFprinter: Lectura o Escritura",
    .answer = "CheckFprinter: Answer or LRC Error",
    .noAnswer = "CheckFprinter: bNotAnswer_Error",
    .nak = "CheckFprinter: bNAK_Error",
    .ok = "CheckFprinter: OK",
};

// What a failed read within a block is traced as.
inline constexpr const char* kBlockReadFailed = "SendCmd: Input2";

}  // namespace vexolant
