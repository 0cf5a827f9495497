#include <cstdio>

#include "link/exchange.h"
#include "link/frame.h"
#include "link/outcome.h"
#include "link/port.h"
#include "printer/operations.h"
#include "trace/trace.h"

namespace {

// The output file of an upload, opened before the port is touched and traced
// once it is there. Its lines end in CR LF wherever the file is made.
FILE* OpenOutput(const char* path) {
  FILE* file = path != nullptr ? std::fopen(path, "wb") : nullptr;
  if (file != nullptr) TraceStr("Archivo creado ", path);
  return file;
}

// Closes the output file; false when what was written to it did not reach
// the file.
bool CloseOutput(FILE* file) {
  const bool written = std::ferror(file) == 0;
  return std::fclose(file) == 0 && written;
}

// The exchange's outcome, unless it succeeded and its file was not written:
// a transfer whose text is lost is no success.
int32_t UploadOutcome(const ExchangeState& state, bool stored) {
  const int32_t outcome = JudgeExchange(state, false, nullptr);
  return outcome == 0 && !stored ? FP_FILE_ERROR : outcome;
}

// Writes the text of a block (between STX and the terminator) without its LF
// bytes, then a line end; returns the terminator.
uint8_t StoreBlock(const Block& block, FILE* file) {
  for (uint32_t i = 1; i + 2 < block.length; ++i) {
    if (block.bytes[i] != '\n') std::fputc(block.bytes[i], file);
  }
  std::fputs("\r\n", file);
  return block.bytes[block.length - 2];
}

int32_t Deliver(int32_t* status, int32_t* error, int32_t outcome) {
  *status = 0;
  *error = outcome;
  return outcome == 0 ? 1 : 0;
}

// The report after the printer's ENQ: acknowledge it, then take block after
// block, each acknowledged, until one ends with ETX. The first block may take
// three empty reads, every later one two.
void TransferReport(ExchangeState* state, void* context) {
  FILE* file = static_cast<FILE*>(context);
  if (SendControlByte(ASCII_ACK, "UploadReportCmd: Output2", &state->osError) == 0) return;
  Pause(kReplyPauseMs);
  Block block;
  bool moreBlocks = true;
  uint32_t blockAttempt = 0;
  while (moreBlocks && blockAttempt <= kLastAttempt) {
    CollectBlock(&block, kUploadReadSize, nullptr, &state->osError);
    if (state->osError != 0) {
      TraceError("UploadReportCmd: Input3", state->osError);
      return;
    }
    const BlockVerdict verdict = JudgeBlock(block, state);
    if (verdict == BlockVerdict::Empty) {
      ++blockAttempt;
      continue;
    }
    if (verdict == BlockVerdict::Failed) return;
    moreBlocks = StoreBlock(block, file) == ASCII_ETB;
    if (SendControlByte(ASCII_ACK, "UploadReportCmd: Output3", &state->osError) == 0) return;
    Pause(kReplyPauseMs);
    if (!moreBlocks) {
      // Whatever follows the last block is read and dropped; only a failed
      // read counts.
      uint8_t rest[kUploadReadSize];
      PortRead(rest, kUploadReadSize, &state->osError);
      if (state->osError != 0) TraceError("SendCmd: Input", state->osError);
      return;
    }
    blockAttempt = 1;
  }
}

// Receives the single reply block of a status upload (attempts 0 to 2, each a
// collection that may bring nothing) and stores it.
void ReceiveStatusBlock(ExchangeState* state, FILE* file) {
  Block block;
  while (state->attempt <= kLastAttempt) {
    TraceInt("Ciclo ", static_cast<int32_t>(state->attempt));
    CollectBlock(&block, kStatusReadSize, "Salida bloque ", &state->osError);
    if (state->osError != 0) {
      TraceError("UploadReportCmd: Input3", state->osError);
      return;
    }
    TraceText("Paso 3 ");
    const BlockVerdict verdict = JudgeBlock(block, state);
    if (verdict == BlockVerdict::Empty) {
      ++state->attempt;
      continue;
    }
    if (verdict == BlockVerdict::Failed) return;
    TraceText("Paso 4 ");
    StoreBlock(block, file);
    TraceText("Paso 6 ");
    SendControlByte(ASCII_ACK, "UploadReportCmd: Output3", &state->osError);
    return;
  }
}

// The command is written once; its reply block is read right after it.
void RunStatusUpload(ExchangeState* state, const char* text, FILE* file) {
  if (SendCommandFrame(text, true, "UploadReportCmd: Output1", &state->osError) == 0) return;
  Pause(kReplyPauseMs);
  ReceiveStatusBlock(state, file);
  TraceText("Paso 7 ");
}

}  // namespace

int32_t UploadReportCmd(int32_t* status, int32_t* error, const char* text, const char* outputPath) {
  TraceText("** UploadReportCmd ** ");
  FILE* file = OpenOutput(outputPath);
  if (file == nullptr) return Deliver(status, error, FP_FILE_ERROR);
  ExchangePlan plan;
  plan.purgeLabel = "UploadReportCmd";
  plan.request = ExchangeRequest::Frame;
  plan.text = text;
  plan.writeLabel = "UploadReportCmd: Output1";
  plan.readSize = kUploadReadSize;
  plan.readLabel = "UploadReportCmd: Input";
  plan.onEnq = TransferReport;
  plan.context = file;
  ExchangeState state;
  RunExchange(plan, &state);
  const bool stored = CloseOutput(file);
  return Deliver(status, error, UploadOutcome(state, stored));
}

int32_t UploadStatusCmd(int32_t* status, int32_t* error, const char* text, const char* outputPath) {
  TraceText("** UploadStatusCmd ** ");
  FILE* file = OpenOutput(outputPath);
  if (file == nullptr) return Deliver(status, error, FP_FILE_ERROR);
  ExchangeState state;
  if (PurgeForExchange("UploadReportCmd", &state.osError) != 0) {
    RunStatusUpload(&state, text, file);
    TraceText("Paso 8 ");
  }
  const bool stored = CloseOutput(file);
  TraceText("Paso 9 ");
  return Deliver(status, error, UploadOutcome(state, stored));
}
