// CheckFprinter and ReadFpStatus against the printer's status enquiry.
#include "harness.h"

namespace e2e {
namespace {

const Result kTrue{"TRUE", 0, 0};
const Result kFalse{"FALSE", 0, 0};
const Result kHealthy{"TRUE", 1, 0};
const Result kWrongAnswer{"FALSE", 0, 144};
const Result kNoAnswer{"FALSE", 0, 137};
const std::vector<std::string> kOneEnq{kEnq};
const std::vector<std::string> kThreeEnqs{kEnq, kEnq, kEnq};

// The check takes any well-formed status frame as an answer and reports
// status 0 and error 0 whatever the outcome.
const Case kCheckCases[] = {
    {.name = "HealthyPrinter", .request = "CheckFprinter", .result = kTrue, .received = kOneEnq},
    {.name = "PrinterInErrorStillAnswers",
     .printer = {"--status", "4060"},
     .request = "CheckFprinter",
     .result = kTrue,
     .received = kOneEnq},
    {.name = "NineByteFrame",
     .printer = {"--status", "400000000000"},
     .request = "CheckFprinter",
     .result = kTrue,
     .received = kOneEnq},
    {.name = "TwoNaksThenStatus",
     .printer = {"--enq", "nak:2"},
     .request = "CheckFprinter",
     .result = kTrue,
     .received = kThreeEnqs,
     .check = ExpectNakPauses},
    {.name = "AckIsNoAnswer",
     .printer = {"--enq", "ack"},
     .request = "CheckFprinter",
     .result = kFalse,
     .received = kOneEnq},
    {.name = "WrongCheckByte",
     .printer = {"--enq", "badlrc"},
     .request = "CheckFprinter",
     .result = kFalse,
     .received = kOneEnq},
};
INSTANTIATE_TEST_SUITE_P(CheckFprinter, Exchange, testing::ValuesIn(kCheckCases), CaseName);

// A silent printer costs three 9-byte reads of 9 s each.
const Case kSlowCheckCases[] = {
    {.name = "SilentPrinter",
     .printer = {"--enq", "silent"},
     .request = "CheckFprinter",
     .result = kFalse,
     .received = kThreeEnqs,
     .check = RequestsEvery(8800, 10500)},
};
INSTANTIATE_TEST_SUITE_P(SlowCheckFprinter, Exchange, testing::ValuesIn(kSlowCheckCases), CaseName);

Case Status(std::string name, std::string bytes, Result result) {
  return {.name = std::move(name),
          .printer = {"--status", std::move(bytes)},
          .request = "ReadFpStatus",
          .result = std::move(result),
          .received = kOneEnq};
}

// Status frames and their decoding. A single data byte is a signed number:
// 0xA0 is -96 (bits 8 and up set), 0x81 is -127.
const Case kStatusCases[] = {
    Status("Healthy", "4040", kHealthy),
    Status("ErrorBits", "4060", {"TRUE", 1, 96}),
    Status("NegativeStatusByte", "A040", {"TRUE", 15, 0}),
    Status("NegativeErrorByte", "4081", {"TRUE", 1, 80}),
    Status("StatusBit2OverridesTheError", "446C", {"TRUE", 1, 112}),
    Status("NineByteHealthy", "400000000000", kHealthy),
    Status("NineByteFirstRowsWin", "4081B0000000", {"TRUE", 14, 1}),
    Status("NineByteErrorFromD4", "400000E00000", {"TRUE", 1, 226}),
    Status("NineByteNegativeD1SkipsItsRow", "C00000008100", {"TRUE", 19, 0}),
    {.name = "NakThenStatus",
     .printer = {"--enq", "nak:1"},
     .request = "ReadFpStatus",
     .result = kHealthy,
     .received = {kEnq, kEnq},
     .check = ExpectNakPauses},
    {.name = "SplitWithShortGapsIsOneRead",
     .printer = {"--enq", "split:2:30"},
     .request = "ReadFpStatus",
     .result = kHealthy,
     .received = kOneEnq,
     .check = SentPieces({"<STX>@", "@<ETX>", "<LRC 0x03>"})},
    {.name = "SplitWithLongGapsEndsTheRead",
     .printer = {"--enq", "split:2:80"},
     .request = "ReadFpStatus",
     .result = kWrongAnswer,
     .received = kOneEnq},
    {.name = "AckIsAWrongAnswer",
     .printer = {"--enq", "ack"},
     .request = "ReadFpStatus",
     .result = kWrongAnswer,
     .received = kOneEnq},
    {.name = "WrongCheckByte",
     .printer = {"--enq", "badlrc"},
     .request = "ReadFpStatus",
     .result = kWrongAnswer,
     .received = kOneEnq},
};
INSTANTIATE_TEST_SUITE_P(ReadFpStatus, Exchange, testing::ValuesIn(kStatusCases), CaseName);

const Case kSlowStatusCases[] = {
    {.name = "SilentPrinter",
     .printer = {"--enq", "silent"},
     .request = "ReadFpStatus",
     .result = kNoAnswer,
     .received = kThreeEnqs,
     .check = RequestsEvery(8800, 10500)},
};
INSTANTIATE_TEST_SUITE_P(SlowReadFpStatus, Exchange, testing::ValuesIn(kSlowStatusCases), CaseName);

}  // namespace
}  // namespace e2e
