// The shape that every printer exchange shares: the attempt loop with its
// pauses and limits, the judgement of the outcome, and the collection of the
// framed blocks that the uploads receive.
#pragma once

#include <cstdint>

#include "link/port.h"

namespace vexolant {

constexpr uint32_t kReplyPauseMs = 10;   // between a request and its read
constexpr uint32_t kNakPauseMs = 1500;   // after a NAK that another attempt follows
constexpr uint32_t kLastAttempt = 2;     // attempts are numbered 0, 1 and 2
constexpr uint32_t kStatusReadSize = 9;  // bytes asked per read of a status frame
constexpr uint32_t kUploadReadSize = 5;  // bytes asked per read of a report
constexpr uint32_t kBlockCapacity = 4096;
// Once the first byte of a block has arrived, the block ends within this
// time: a printer that drips bytes cannot hold the port for hours. A full
// block at 9600 baud takes 4.3 s.
constexpr uint32_t kBlockDeadlineMs = 10000;

// State of one exchange, cleared at its start. The reply flags describe the
// last attempt only; the OS error, once set, ends the exchange.
struct ExchangeState {
  int32_t osError = 0;            // OS error number of a failed purge, write or read
  bool bAnswer_Error = false;     // invalid reply, or one the exchange does not accept
  bool bNotAnswer_Error = false;  // the last read brought no byte
  bool bNAK_Error = false;        // the last reply was a lone NAK
  uint32_t attempt = 0;           // attempts that ended in silence or NAK
};

// What an exchange sends before each read.
enum class ExchangeRequest { None, Enq, Frame };

// Trace texts of the steps of an attempt; nullptr where an exchange has none.
struct AttemptSteps {
  const char* started = nullptr;  // once, before the first attempt
  const char* read = nullptr;     // after every read that did not fail
  const char* invalid = nullptr;  // the reply failed validation
  const char* ack = nullptr;      // a lone ACK
  const char* nak = nullptr;      // a lone NAK
  const char* enq = nullptr;      // a lone ENQ
  const char* length = nullptr;   // a valid frame of a length not taken
};

// Trace texts of an exchange's outcomes, given by the operation that runs it.
struct OutcomeTexts {
  const char* silent = nullptr;      // a read that brought nothing (with the attempt)
  const char* badLength = nullptr;   // a valid frame of a length not taken (with it)
  const char* portFailed = nullptr;  // the OS error of a purge, write or read
  const char* answer = nullptr;      // bAnswer_Error
  const char* noAnswer = nullptr;    // bNotAnswer_Error
  const char* nak = nullptr;         // bNAK_Error
  const char* ok = nullptr;          // success
};

// What sets one exchange apart from the others that run the attempt loop.
struct ExchangePlan {
  const OutcomeTexts* texts = nullptr;  // required
  const char* purgeLabel = nullptr;     // trace of a failed purge; nullptr: no purge
  ExchangeRequest request = ExchangeRequest::None;
  const char* text = nullptr;  // command text of a frame request; nullptr is empty
  bool traceFrame = false;     // "Salida" with the frame before each write
  const char* writeLabel = nullptr;
  uint32_t readSize = kStatusReadSize;
  const char* readLabel = nullptr;
  const AttemptSteps* steps = nullptr;
  bool ackAccepts = false;  // a lone ACK accepts the request; else an answer error
  // A lone ENQ hands over to this and ends the attempts; without it an ENQ is
  // an answer error.
  void (*onEnq)(Port* port, ExchangeState* state, void* context) = nullptr;
  void* context = nullptr;
};

// The last reply of an exchange. A valid 5- or 9-byte frame ends the attempts
// with no flag set and stays here for the caller to look into.
struct Reply {
  uint8_t bytes[kStatusReadSize] = {};
  uint32_t length = 0;
};

// Purges (when the exchange does), then makes up to three attempts: send the
// request, pause 10 ms, read, classify. Only silence and NAK lead to another
// attempt; a NAK on attempt 0 or 1 is followed by a 1500 ms pause.
Reply RunExchange(Port* port, const ExchangePlan& plan, ExchangeState* state);

// The outcome: 145, 144, 137 or 128 for the first of the OS error and the
// flags that is set, else 0. With texts, the failure is traced with its
// text, and success with successText when given.
int32_t JudgeExchange(const ExchangeState& state, const OutcomeTexts* texts,
                      const char* successText);

// Purges the port; 0 after a failure, whose OS error is taken and traced with
// failLabel.
int PurgeForExchange(Port* port, const char* failLabel, int32_t* osError);

// Writes the command frame of text (nullptr is the empty text), traced as
// "Salida" first when traceFrame; 0 after a failed write, traced with failLabel.
int SendCommandFrame(Port* port, const char* text, bool traceFrame, const char* failLabel,
                     int32_t* osError);

// Writes one control byte; 0 after a failed write, traced with failLabel.
int SendControlByte(Port* port, uint8_t byte, const char* failLabel, int32_t* osError);

// One block of an upload as it was collected, with room for a NUL that lets
// the trace show it as text.
struct Block {
  uint8_t bytes[kBlockCapacity + 1] = {};
  uint32_t length = 0;
  bool cut = false;  // the block deadline passed before the block was whole
};

// Collects one block in reads of up to piece bytes. Stops at a read that
// brings nothing, once the first ETX or ETB held is followed by its LRC, or
// when the block is full; no read runs past it, nor past the block deadline
// (which marks the block cut). A failed read is traced with readFailLabel and
// leaves *osError set. With pieceTrace, the bytes held are traced as text
// after every read.
void CollectBlock(Port* port, Block* block, uint32_t piece, const char* pieceTrace,
                  const char* readFailLabel, int32_t* osError);

enum class BlockVerdict { Empty, Failed, Accepted };

// Judges a collected block: Empty sets bNotAnswer_Error; anything received
// clears the reply flags first, as every attempt does after its read; an
// invalid reply (a cut block among them), ACK or ENQ set bAnswer_Error and NAK
// sets bNAK_Error (Failed); a valid frame is Accepted.
BlockVerdict JudgeBlock(const Block& block, ExchangeState* state);

// A command text that holds STX, ETX or ETB cannot travel as one frame: it
// is traced and refused with status 0 and error 146, and 1 is returned;
// other texts (nullptr among them) give 0 and leave status and error alone.
int RefuseFramingBytes(const char* text, int32_t* status, int32_t* error);

}  // namespace vexolant
