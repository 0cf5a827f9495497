#include "fake_port.h"

#include <algorithm>

#include "link/frame.h"
#include "link/port.h"

namespace {

FakePort* g_fake = nullptr;

const PortBackend kFakeBackend = {
    [](const char* name, int32_t* error) { return g_fake->Open(name, error); },
    [] { g_fake->Close(); },
    [] { return g_fake->Purge(); },
    [] { return g_fake->LastError(); },
    [](const uint8_t* bytes, uint32_t count, int32_t* error) {
      g_fake->Write(bytes, count, error);
    },
    [](uint8_t* buffer, uint32_t max, int32_t* error) { return g_fake->Read(buffer, max, error); },
    [](uint32_t milliseconds) { g_fake->Sleep(milliseconds); },
};

}  // namespace

FakePort::FakePort() {
  g_fake = this;
  PortUseBackend(&kFakeBackend);
}

FakePort::~FakePort() {
  PortUseBackend(nullptr);
  g_fake = nullptr;
}

FakePort& FakePort::Reply(std::vector<uint8_t> bytes) {
  replies_.push_back({std::move(bytes), 0});
  return *this;
}

FakePort& FakePort::Silence(int times) {
  for (int i = 0; i < times; ++i) replies_.push_back({{}, 0});
  return *this;
}

FakePort& FakePort::ReadError(int32_t error) {
  replies_.push_back({{}, error});
  return *this;
}

int FakePort::Open(const char* name, int32_t* error) {
  *error = openError_;
  log_.push_back({FakeEvent::Open, {}, 0, openError_});
  if (openError_ != 0) {
    lastError_ = openError_;
    return 0;
  }
  open_ = true;
  openedName_ = name;
  return 1;
}

void FakePort::Close() {
  log_.push_back({FakeEvent::Close, {}, 0, 0});
  open_ = false;
}

int FakePort::Purge() {
  log_.push_back({FakeEvent::Purge, {}, 0, purgeError_});
  if (purgeError_ != 0) {
    lastError_ = purgeError_;
    return 0;
  }
  return 1;
}

void FakePort::Write(const uint8_t* bytes, uint32_t count, int32_t* error) {
  *error = 0;
  for (const WriteFailure& f : writeFailures_) {
    if (f.index == writes_) *error = f.error;
  }
  ++writes_;
  log_.push_back({FakeEvent::Write, std::vector<uint8_t>(bytes, bytes + count), count, *error});
  if (*error != 0) lastError_ = *error;
}

uint32_t FakePort::Read(uint8_t* buffer, uint32_t max, int32_t* error) {
  ScriptedRead next;
  if (!replies_.empty()) {
    next = std::move(replies_.front());
    replies_.pop_front();
  }
  *error = next.error;
  if (next.bytes.size() > max) {
    replies_.push_front({std::vector<uint8_t>(next.bytes.begin() + max, next.bytes.end()), 0});
    next.bytes.resize(max);
  }
  std::copy(next.bytes.begin(), next.bytes.end(), buffer);
  // A silent read lasts its full time-out; a reply ends 50 ms after its last byte.
  elapsedMs_ += next.bytes.empty() ? uint64_t{max} * 1000 : 50;
  log_.push_back({FakeEvent::Read, next.bytes, max, next.error});
  if (next.error != 0) lastError_ = next.error;
  return static_cast<uint32_t>(next.bytes.size());
}

void FakePort::Sleep(uint32_t milliseconds) {
  elapsedMs_ += milliseconds;
  log_.push_back({FakeEvent::Pause, {}, milliseconds, 0});
}

std::vector<std::vector<uint8_t>> FakePort::Writes() const {
  std::vector<std::vector<uint8_t>> writes;
  for (const FakeEvent& e : log_) {
    if (e.kind == FakeEvent::Write) writes.push_back(e.bytes);
  }
  return writes;
}

std::vector<uint32_t> FakePort::Pauses() const {
  std::vector<uint32_t> pauses;
  for (const FakeEvent& e : log_) {
    if (e.kind == FakeEvent::Pause) pauses.push_back(e.value);
  }
  return pauses;
}

std::vector<uint32_t> FakePort::ReadSizes() const {
  std::vector<uint32_t> sizes;
  for (const FakeEvent& e : log_) {
    if (e.kind == FakeEvent::Read) sizes.push_back(e.value);
  }
  return sizes;
}

size_t FakePort::Count(FakeEvent::Kind kind) const {
  return static_cast<size_t>(std::count_if(log_.begin(), log_.end(),
                                           [kind](const FakeEvent& e) { return e.kind == kind; }));
}

size_t FakePort::PausesOf(uint32_t milliseconds) const {
  const std::vector<uint32_t> pauses = Pauses();
  return static_cast<size_t>(std::count(pauses.begin(), pauses.end(), milliseconds));
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
  return bytes;
}

std::vector<uint8_t> Frame(const std::string& text, uint8_t terminator) {
  std::vector<uint8_t> frame{ASCII_STX};
  frame.insert(frame.end(), text.begin(), text.end());
  frame.push_back(terminator);
  frame.push_back(static_cast<uint8_t>(BlockCheck(
      frame.data() + 1, static_cast<int32_t>(frame.size() - 1), kCheckXor, kCheckPlain)));
  return frame;
}

std::vector<uint8_t> StatusFrame(std::initializer_list<int> data) {
  std::string text;
  for (int v : data) text.push_back(static_cast<char>(v));
  return Frame(text);
}
