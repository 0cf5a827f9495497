// Every printer operation driven through the scripted fake port by a fuzzed
// stream of read results (bytes, late bytes, silence, OS errors), with fuzzed
// purge and write failures. Besides not crashing, each run must keep the
// protocol's limits: at most three requests per exchange, at most one ACK
// per block on disk, no write after a failed read or write, and an outcome
// from the defined set.
//
// Input: operation, flags, the index of a failing write, a 2-byte length and
// that many bytes of command text (the command file's content for
// SendFileCmd), then read results, each a tag byte and its operands:
//   tag % 4 == 0  bytes: a count, then the bytes
//   tag % 4 == 1  a silent read
//   tag % 4 == 2  a read that fails with EIO
//   tag % 4 == 3  late bytes: a delay in 50 ms steps, a count, the bytes
#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "byte_file.h"
#include "fake_port.h"
#include "fuzz.h"
#include "link/frame.h"
#include "link/outcome.h"
#include "printer/operations.h"
#include "printer/status_decode.h"
#include "trace/trace.h"

using namespace vexolant;

namespace {

enum Operation { kCheck, kReadStatus, kSend, kSendFile, kUploadReport, kUploadStatus, kCount };

constexpr uint8_t kFlagCompleteRead = 0x01;
constexpr uint8_t kFlagFailPurge = 0x02;
constexpr uint8_t kFlagFailWrite = 0x04;
constexpr uint8_t kFlagFullDisk = 0x08;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::vector<uint8_t> Bytes(size_t count) {
    const size_t n = std::min(count, size_ - std::min(at_, size_));
    std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Every error code an operation may deliver: the link's outcomes and the
// printer's codes as the status decoding gives them.
const std::set<int32_t>& DefinedErrors() {
  static const std::set<int32_t> codes = [] {
    std::set<int32_t> set = {
        0, FP_PORT_ERROR, FP_ANSWER_ERROR, FP_NO_ANSWER, FP_NAK_ERROR, FP_FILE_ERROR, FP_TEXT_ERROR,
        92};
    // The frame codes the folding yields are signed data bytes and codes
    // below 1024; the frame status bit 2 overrides the error.
    for (int32_t frameError = -128; frameError < 1024; ++frameError) {
      for (const int32_t frameStatus : {0, 4}) {
        int32_t status = 0;
        int32_t error = 0;
        CheckStatus(frameStatus, frameError, &status, &error);
        set.insert(error);
      }
    }
    return set;
  }();
  return codes;
}

bool IsControl(const FakeEvent& e, uint8_t byte) {
  return e.kind == FakeEvent::Write && e.bytes.size() == 1 && e.bytes[0] == byte;
}

bool IsFrame(const FakeEvent& e) {
  return e.kind == FakeEvent::Write && !e.bytes.empty() && e.bytes[0] == ASCII_STX;
}

struct Counts {
  size_t frames = 0;
  size_t enqs = 0;
  size_t acks = 0;

  Counts& operator+=(const Counts& other) {
    frames += other.frames;
    enqs += other.enqs;
    acks += other.acks;
    return *this;
  }
};

// Checks the log exchange by exchange (each starts with its purge) and
// returns the totals.
Counts CheckExchanges(const std::vector<FakeEvent>& log, Operation operation) {
  Counts total;
  Counts exchange;
  bool failed = false;  // a read or a write has failed
  for (const FakeEvent& e : log) {
    if (e.kind == FakeEvent::Purge) exchange = Counts{};
    if (e.kind == FakeEvent::Write) {
      FUZZ_CHECK(!failed);
      FUZZ_CHECK(IsFrame(e) || e.bytes.size() == 1);
    }
    if ((e.kind == FakeEvent::Read || e.kind == FakeEvent::Write) && e.error != 0) failed = true;
    const Counts step{IsFrame(e) ? 1u : 0u, IsControl(e, ASCII_ENQ) ? 1u : 0u,
                      IsControl(e, ASCII_ACK) ? 1u : 0u};
    exchange += step;
    total += step;
    FUZZ_CHECK(exchange.frames <= 3 && exchange.enqs <= 3);
    // Only a refusal is acknowledged in a command's exchange.
    if (operation == kSend || operation == kSendFile) FUZZ_CHECK(exchange.acks <= 1);
  }
  return total;
}

// The lines of an upload's output file: all whole, with CR LF.
size_t WholeLines(const std::string& content) {
  size_t lines = 0;
  for (size_t at = 0; at < content.size();) {
    const size_t end = content.find("\r\n", at);
    FUZZ_CHECK(end != std::string::npos);
    at = end + 2;
    ++lines;
  }
  return lines;
}

void NoTrace(const char*, void*) {}

TraceTime FixedClock() {
  return {2026, 1, 2, 3, 4, 5, 6};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool traced = [] {
    // The trace formats the fuzzed bytes too; a fixed clock keeps it cheap.
    TraceUseClock(FixedClock);
    TraceToCallback(NoTrace, nullptr);
    return true;
  }();
  (void)traced;

  Input in(data, size);
  const auto operation = static_cast<Operation>(in.Byte() % kCount);
  const uint8_t flags = in.Byte();
  const uint8_t failingWrite = in.Byte();
  const size_t textLength = in.Byte() | size_t{in.Byte()} << 8;
  const std::vector<uint8_t> textBytes = in.Bytes(textLength);
  const std::string text(textBytes.begin(), textBytes.end());

  FakePort port;
  port.Link()->readEnd = (flags & kFlagCompleteRead) != 0 ? ReadEnd::Complete : ReadEnd::Gap;
  if ((flags & kFlagFailPurge) != 0) port.FailPurge(EIO);
  if ((flags & kFlagFailWrite) != 0) port.FailWrite(failingWrite % 8, EIO);
  while (!in.Done()) {
    const uint8_t tag = in.Byte();
    if (tag % 4 == 1) {
      port.Silence();
    } else if (tag % 4 == 2) {
      port.ReadError(EIO);
    } else if (tag % 4 == 3) {
      const uint32_t tookMs = uint32_t{in.Byte()} * 50;
      port.Late(in.Bytes(in.Byte()), tookMs);
    } else {
      port.Reply(in.Bytes(in.Byte()));
    }
  }

  const std::string output =
      (flags & kFlagFullDisk) != 0 ? std::string("/dev/full") : ScratchPath("output.txt");
  const std::string commandFile = ScratchPath("commands.txt");
  if ((flags & kFlagFullDisk) == 0) std::remove(output.c_str());  // none from an earlier run
  int32_t status = -1;
  int32_t error = -1;
  int32_t result = -1;
  switch (operation) {
    case kCheck:
      result = CheckFprinter(port);
      status = error = 0;
      break;
    case kReadStatus:
      result = ReadFpStatus(port, &status, &error);
      break;
    case kSend:
      result = SendCmd(port, &status, &error, text.c_str());
      break;
    case kSendFile:
      WriteScratch("commands.txt", textBytes.data(), textBytes.size());
      result = SendFileCmd(port, &status, &error, commandFile.c_str());
      break;
    case kUploadReport:
      result = UploadReportCmd(port, &status, &error, text.c_str(), output.c_str());
      break;
    default:
      result = UploadStatusCmd(port, &status, &error, text.c_str(), output.c_str());
      break;
  }

  const Counts counts = CheckExchanges(port.Log(), operation);
  FUZZ_CHECK(DefinedErrors().count(error) == 1);
  FUZZ_CHECK(status >= 0 && status <= 19);
  if (operation == kSendFile) {
    // Only commands that were sent can have been accepted.
    FUZZ_CHECK(result >= 0 && static_cast<size_t>(result) <= counts.frames);
  } else {
    FUZZ_CHECK(result == 0 || result == 1);
  }
  if (operation == kCheck || operation == kReadStatus) FUZZ_CHECK(counts.acks == 0);
  // A text the printer would read as several frames is never sent.
  const bool sendsText =
      operation == kSend || operation == kUploadReport || operation == kUploadStatus;
  if (sendsText && HoldsFramingByte(text.c_str()) != 0) {
    FUZZ_CHECK(port.Log().empty() && result == 0 && error == FP_TEXT_ERROR);
  }
  if (operation == kUploadReport || operation == kUploadStatus) {
    // Every block that was acknowledged is on disk, and at most one more
    // (stored, then its ACK failed); the report's first ACK answers the ENQ.
    const size_t blockAcks =
        operation == kUploadReport && counts.acks > 0 ? counts.acks - 1 : counts.acks;
    if ((flags & kFlagFullDisk) != 0) {
      FUZZ_CHECK(blockAcks == 0);
    } else {
      const size_t lines = WholeLines(ReadBytes(output));
      FUZZ_CHECK(lines >= blockAcks && lines <= blockAcks + 1);
      if (operation == kUploadStatus) FUZZ_CHECK(lines <= 1);
    }
  }
  return 0;
}
