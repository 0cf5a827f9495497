#include <cstdio>

#include "link/exchange.h"
#include "link/frame.h"
#include "link/outcome.h"
#include "link/port.h"
#include "platform/plain_file.h"
#include "platform/sync_file.h"
#include "printer/operations.h"
#include "printer/outcome_texts.h"
#include "trace/trace.h"

namespace vexolant {

namespace {

// The output file of an upload, opened before the port is touched and traced
// once it is there. Its lines end in CR LF wherever the file is made. Every
// block is on the disk before the printer has its ACK: a printer that has
// the ACK counts the block as delivered.
struct Output {
  FILE* file = nullptr;
  Port* port = nullptr;                       // whose backend may stand in for the file's sync
  uint64_t limit = kDefaultUploadLimitBytes;  // the most the file may hold
  uint64_t stored = 0;                        // what it holds
  bool failed = false;                        // a block could not be written: no more ACKs
  bool overLimit = false;                     // a block would have passed the limit: no more ACKs
};

int SyncOutput(const Output& output) {
  const PortBackend* backend = output.port->backend;
  if (backend != nullptr && backend->syncFile != nullptr) {
    return backend->syncFile(output.port, output.file);
  }
  return SyncFile(output.file);
}

FILE* OpenOutput(const char* path) {
  int error = 0;
  FILE* file = path != nullptr ? OpenPlainFile(path, PlainFileUse::Replace, &error) : nullptr;
  if (file != nullptr) TraceStr("Archivo creado ", path);
  return file;
}

// Closes the output file; false when what was written to it did not reach
// the file.
bool CloseOutput(Output* output) {
  const bool written = !output->failed && std::ferror(output->file) == 0;
  return std::fclose(output->file) == 0 && written;
}

// The exchange's outcome, unless it succeeded and its file was not written
// whole: a transfer whose text is lost, or cut at the limit, is no success.
int32_t UploadOutcome(const ExchangeState& state, const Output& output, bool stored) {
  const int32_t outcome = JudgeExchange(state, nullptr, nullptr);
  if (outcome != 0) return outcome;
  if (output.overLimit) return FP_UPLOAD_LIMIT;
  return stored ? 0 : FP_FILE_ERROR;
}

// Writes the text of a block (between STX and the terminator) without its LF
// bytes, then a line end, as one write, and makes it durable; false when any
// of it failed (the block then gets no ACK). A run that is stopped between
// two blocks leaves whole lines only.
bool StoreBlock(const Block& block, Output* output) {
  char line[kBlockCapacity + 2];
  size_t length = 0;
  for (uint32_t i = 1; i + 2 < block.length; ++i) {
    if (block.bytes[i] != '\n') line[length++] = static_cast<char>(block.bytes[i]);
  }
  line[length++] = '\r';
  line[length++] = '\n';
  if (length > output->limit - output->stored) {
    output->overLimit = true;
    TraceError("UploadReportCmd: Limite", FP_UPLOAD_LIMIT);
    return false;
  }
  output->stored += length;
  const bool stored = std::fwrite(line, 1, length, output->file) == length &&
                      std::fflush(output->file) == 0 && SyncOutput(*output) == 0;
  if (!stored) {
    output->failed = true;
    TraceError("UploadReportCmd: Archivo", FP_FILE_ERROR);
  }
  return stored;
}

bool LastBlock(const Block& block) {
  return block.bytes[block.length - 2] != ASCII_ETB;
}

int32_t Deliver(int32_t* status, int32_t* error, int32_t outcome) {
  *status = 0;
  *error = outcome;
  return outcome == 0 ? 1 : 0;
}

// The report after the printer's ENQ: acknowledge it, then take block after
// block, each stored and then acknowledged, until one ends with ETX. The
// first block may take three empty reads, every later one two.
void TransferReport(Port* port, ExchangeState* state, void* context) {
  Output* output = static_cast<Output*>(context);
  if (SendControlByte(port, ASCII_ACK, "UploadReportCmd: Output2", &state->osError) == 0) return;
  Pause(port, kReplyPauseMs);
  Block block;
  bool moreBlocks = true;
  uint32_t blockAttempt = 0;
  while (moreBlocks && blockAttempt <= kLastAttempt) {
    CollectBlock(port, &block, kUploadReadSize, nullptr, kBlockReadFailed, &state->osError);
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
    if (!StoreBlock(block, output)) return;
    moreBlocks = !LastBlock(block);
    if (SendControlByte(port, ASCII_ACK, "UploadReportCmd: Output3", &state->osError) == 0) return;
    Pause(port, kReplyPauseMs);
    if (!moreBlocks) {
      // Whatever follows the last block is read and dropped; only a failed
      // read counts. A port that ends reads at a whole reply waits only the
      // read gap for it.
      uint8_t rest[kUploadReadSize];
      const uint32_t limit = port->readEnd == ReadEnd::Complete ? kInterByteGapMs : kNoReadLimit;
      PortReadCall(port, ReadCall{rest, 0, kUploadReadSize, limit}, &state->osError);
      if (state->osError != 0) TraceError("SendCmd: Input", state->osError);
      return;
    }
    blockAttempt = 1;
  }
}

// Receives the single reply block of a status upload (attempts 0 to 2, each a
// collection that may bring nothing), stores it, then acknowledges it.
void ReceiveStatusBlock(Port* port, ExchangeState* state, Output* output) {
  Block block;
  while (state->attempt <= kLastAttempt) {
    TraceInt("Ciclo ", static_cast<int32_t>(state->attempt));
    CollectBlock(port, &block, kStatusReadSize, "Salida bloque ", kBlockReadFailed,
                 &state->osError);
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
    if (!StoreBlock(block, output)) return;
    TraceText("Paso 6 ");
    SendControlByte(port, ASCII_ACK, "UploadReportCmd: Output3", &state->osError);
    return;
  }
}

// The command is written once; its reply block is read right after it.
void RunStatusUpload(Port* port, ExchangeState* state, const char* text, Output* output) {
  if (SendCommandFrame(port, text, true, "UploadReportCmd: Output1", &state->osError) == 0) return;
  Pause(port, kReplyPauseMs);
  ReceiveStatusBlock(port, state, output);
  TraceText("Paso 7 ");
}

}  // namespace

int32_t UploadReportCmd(Port* port, int32_t* status, int32_t* error, const char* text,
                        const char* outputPath) {
  TraceText("** UploadReportCmd ** ");
  if (RefuseFramingBytes(text, status, error) != 0) return 0;
  Output output{OpenOutput(outputPath), port, port->uploadLimitBytes};
  if (output.file == nullptr) return Deliver(status, error, FP_FILE_ERROR);
  ExchangePlan plan;
  plan.texts = &kOutcomeTexts;
  plan.purgeLabel = "UploadReportCmd";
  plan.request = ExchangeRequest::Frame;
  plan.text = text;
  plan.writeLabel = "UploadReportCmd: Output1";
  plan.readSize = kUploadReadSize;
  plan.readLabel = "UploadReportCmd: Input";
  plan.onEnq = TransferReport;
  plan.context = &output;
  ExchangeState state;
  RunExchange(port, plan, &state);
  const bool stored = CloseOutput(&output);
  return Deliver(status, error, UploadOutcome(state, output, stored));
}

int32_t UploadStatusCmd(Port* port, int32_t* status, int32_t* error, const char* text,
                        const char* outputPath) {
  TraceText("** UploadStatusCmd ** ");
  if (RefuseFramingBytes(text, status, error) != 0) return 0;
  Output output{OpenOutput(outputPath), port, port->uploadLimitBytes};
  if (output.file == nullptr) return Deliver(status, error, FP_FILE_ERROR);
  ExchangeState state;
  if (PurgeForExchange(port, "UploadReportCmd", &state.osError) != 0) {
    RunStatusUpload(port, &state, text, &output);
    TraceText("Paso 8 ");
  }
  const bool stored = CloseOutput(&output);
  TraceText("Paso 9 ");
  return Deliver(status, error, UploadOutcome(state, output, stored));
}

}  // namespace vexolant
