// A scripted stand-in for the serial port, the pause and the clock: a port
// record of its own (Link()) whose backend it is, or the backend and state
// to give a port that the code under test makes. Reads return the queued
// results in order (a silent read when none is left); writes, purges, pauses,
// opens and closes are logged in one timeline. Nothing really sleeps: pauses
// and read time-outs advance a virtual clock, which is the port's clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "link/port.h"

namespace vexolant {

struct FakeEvent {
  enum Kind { Open, Close, Purge, Write, Read, Sleep, Sync } kind;
  std::vector<uint8_t> bytes;  // written, or delivered by a read
  uint32_t value = 0;          // pause length, the count a read asked for, or
                               // the size on disk of the file a sync was asked for
  uint32_t limit = 0;          // a read's limit in milliseconds
  int32_t error = 0;           // OS error reported by the call
};

class FakePort {
 public:
  FakePort();
  ~FakePort();
  FakePort(const FakePort&) = delete;
  FakePort& operator=(const FakePort&) = delete;

  // What the next reads deliver, in order. A result longer than the count a
  // read asks for is split: the rest is what the following read gets.
  FakePort& Reply(std::vector<uint8_t> bytes);
  // A read that brings bytes only after tookMs (a slow or dripping printer);
  // a read whose limit ends sooner brings nothing and leaves them queued.
  FakePort& Late(std::vector<uint8_t> bytes, uint32_t tookMs);
  FakePort& Silence(int times = 1);
  FakePort& ReadError(int32_t error);

  // The port record driven by this fake, and what a port made elsewhere
  // needs to be driven by it.
  Port* Link() { return &link_; }
  operator Port*() { return &link_; }
  static const PortBackend* Backend();
  void* State() { return this; }

  // Opens that find the port busy before the next one succeeds.
  void BusyOpens(int times) { busyOpens_ = times; }
  // Failures of the next open, of the next purge, or of the write with the
  // given 0-based index among all writes of the test.
  // A failed open may come with the reason the backend sets (a network
  // server's answer); without one, PortOpen takes it from the error.
  void FailOpen(int32_t error, OpenProblem problem = OpenProblem::None) {
    openError_ = error;
    openProblem_ = problem;
  }
  void FailPurge(int32_t error) { purgeError_ = error; }
  void FailWrite(size_t index, int32_t error) { writeFailures_.push_back({index, error}); }
  // Failure of the output file's sync with the given 0-based index.
  void FailSync(size_t index, int error) { syncFailures_.push_back({index, error}); }

  const std::vector<FakeEvent>& Log() const { return log_; }
  std::vector<std::vector<uint8_t>> Writes() const;
  std::vector<uint32_t> Pauses() const;
  size_t Count(FakeEvent::Kind kind) const;
  size_t PausesOf(uint32_t milliseconds) const;
  std::vector<uint32_t> ReadSizes() const;  // the counts the reads asked for
  uint64_t ElapsedMs() const { return elapsedMs_; }
  bool IsOpen() const { return open_; }
  std::string OpenedName() const { return openedName_; }
  size_t PendingReplies() const { return replies_.size(); }

  // The limits the reads were given (kNoReadLimit for none).
  std::vector<uint32_t> ReadLimits() const;
  int32_t LastError() const { return link_.lastError; }

  // Backend entry points (public for the C function table).
  int Open(Port* port, const char* name, int32_t* error, bool* busy);
  void Close();
  int Purge(Port* port);
  void Write(Port* port, const uint8_t* bytes, uint32_t count, int32_t* error);
  uint32_t Read(Port* port, const ReadCall& call, int32_t* error);
  void Sleep(uint32_t milliseconds);
  int SyncFile(std::FILE* file);

 private:
  struct ScriptedRead {
    std::vector<uint8_t> bytes;
    int32_t error = 0;
    uint32_t tookMs = 0;  // 0: the read's own time (50 ms after bytes)
  };
  struct WriteFailure {
    size_t index;
    int32_t error;
  };
  std::deque<ScriptedRead> replies_;
  std::vector<FakeEvent> log_;
  std::vector<WriteFailure> writeFailures_;
  std::vector<WriteFailure> syncFailures_;
  size_t writes_ = 0;
  size_t syncs_ = 0;
  int32_t openError_ = 0;
  OpenProblem openProblem_ = OpenProblem::None;
  int32_t purgeError_ = 0;
  int busyOpens_ = 0;
  Port link_;
  uint64_t elapsedMs_ = 0;
  bool open_ = false;
  std::string openedName_;
};

// Byte helpers for scripts and expectations.
std::vector<uint8_t> Bytes(std::initializer_list<int> values);
std::vector<uint8_t> Frame(const std::string& text, uint8_t terminator = 0x03);  // STX text T LRC
std::vector<uint8_t> StatusFrame(std::initializer_list<int> data);               // STX data ETX LRC

}  // namespace vexolant
