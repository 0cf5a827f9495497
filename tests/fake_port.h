// A scripted stand-in for the serial port and the pause, installed in place of
// the platform backend for the life of the object. Reads return the queued
// results in order (a silent read when none is left); writes, purges, pauses,
// opens and closes are logged in one timeline. Nothing really sleeps: pauses
// and read time-outs advance a virtual clock.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct FakeEvent {
  enum Kind { Open, Close, Purge, Write, Read, Pause } kind;
  std::vector<uint8_t> bytes;  // written, or delivered by a read
  uint32_t value = 0;          // pause length, or the count a read asked for
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
  FakePort& Silence(int times = 1);
  FakePort& ReadError(int32_t error);

  // Failures of the next open, of the next purge, or of the write with the
  // given 0-based index among all writes of the test.
  void FailOpen(int32_t error) { openError_ = error; }
  void FailPurge(int32_t error) { purgeError_ = error; }
  void FailWrite(size_t index, int32_t error) { writeFailures_.push_back({index, error}); }

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

  // Backend entry points (public for the C function table).
  int Open(const char* name, int32_t* error);
  void Close();
  int Purge();
  int32_t LastError() const { return lastError_; }
  void Write(const uint8_t* bytes, uint32_t count, int32_t* error);
  uint32_t Read(uint8_t* buffer, uint32_t max, int32_t* error);
  void Sleep(uint32_t milliseconds);

 private:
  struct ScriptedRead {
    std::vector<uint8_t> bytes;
    int32_t error = 0;
  };
  struct WriteFailure {
    size_t index;
    int32_t error;
  };
  std::deque<ScriptedRead> replies_;
  std::vector<FakeEvent> log_;
  std::vector<WriteFailure> writeFailures_;
  size_t writes_ = 0;
  int32_t openError_ = 0;
  int32_t purgeError_ = 0;
  int32_t lastError_ = 0;
  uint64_t elapsedMs_ = 0;
  bool open_ = false;
  std::string openedName_;
};

// Byte helpers for scripts and expectations.
std::vector<uint8_t> Bytes(std::initializer_list<int> values);
std::vector<uint8_t> Frame(const std::string& text, uint8_t terminator = 0x03);  // STX text T LRC
std::vector<uint8_t> StatusFrame(std::initializer_list<int> data);               // STX data ETX LRC
