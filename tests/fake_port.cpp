#include "fake_port.h"

#include <sys/stat.h>

#include <algorithm>

#include "link/frame.h"
#include "link/port.h"

namespace vexolant {

namespace {

FakePort* Of(Port* port) {
  return static_cast<FakePort*>(port->state);
}

const PortBackend kFakeBackend = {
    [](Port* port, const char* name, int32_t* error, bool* busy) {
      return Of(port)->Open(port, name, error, busy);
    },
    [](Port* port) { Of(port)->Close(); },
    [](Port* port) { return Of(port)->Purge(port); },
    [](Port* port, const uint8_t* bytes, uint32_t count, int32_t* error) {
      Of(port)->Write(port, bytes, count, error);
    },
    [](Port* port, const ReadCall& call, int32_t* error) {
      return Of(port)->Read(port, call, error);
    },
    [](Port* port, uint32_t milliseconds) { Of(port)->Sleep(milliseconds); },
    [](Port* port) { return Of(port)->ElapsedMs(); },
    [](Port* port, std::FILE* file) { return Of(port)->SyncFile(file); },
};

}  // namespace

FakePort::FakePort() {
  link_.backend = &kFakeBackend;
  link_.state = this;
}

FakePort::~FakePort() = default;

const PortBackend* FakePort::Backend() {
  return &kFakeBackend;
}

FakePort& FakePort::Reply(std::vector<uint8_t> bytes) {
  replies_.push_back({std::move(bytes), 0});
  return *this;
}

FakePort& FakePort::Late(std::vector<uint8_t> bytes, uint32_t tookMs) {
  replies_.push_back({std::move(bytes), 0, tookMs});
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

int FakePort::Open(Port* port, const char* name, int32_t* error, bool* busy) {
  *busy = busyOpens_ > 0;
  *error = *busy ? 16 : openError_;  // 16: EBUSY on the platforms the tests run on
  if (*busy) --busyOpens_;
  log_.push_back({FakeEvent::Open, {}, 0, 0, *error});
  if (*error != 0) {
    port->lastError = *error;
    if (!*busy) port->openProblem = openProblem_;
    return 0;
  }
  open_ = true;
  openedName_ = name;
  return 1;
}

void FakePort::Close() {
  log_.push_back({FakeEvent::Close, {}, 0, 0, 0});
  open_ = false;
}

int FakePort::Purge(Port* port) {
  log_.push_back({FakeEvent::Purge, {}, 0, 0, purgeError_});
  if (purgeError_ != 0) {
    port->lastError = purgeError_;
    return 0;
  }
  return 1;
}

void FakePort::Write(Port* port, const uint8_t* bytes, uint32_t count, int32_t* error) {
  *error = 0;
  for (const WriteFailure& f : writeFailures_) {
    if (f.index == writes_) *error = f.error;
  }
  ++writes_;
  log_.push_back({FakeEvent::Write, std::vector<uint8_t>(bytes, bytes + count), count, 0, *error});
  if (*error != 0) port->lastError = *error;
}

uint32_t FakePort::Read(Port* port, const ReadCall& call, int32_t* error) {
  const uint32_t max = call.max;
  // The longest the read may last: its time-out, or its limit when sooner.
  const uint64_t bound = std::min<uint64_t>(uint64_t{max} * 1000, call.limitMs);
  ScriptedRead next;
  if (!replies_.empty()) {
    next = std::move(replies_.front());
    replies_.pop_front();
  }
  if (next.tookMs > bound) {
    // The bytes come later than the read lasts: it ends silent.
    next.tookMs -= static_cast<uint32_t>(bound);
    replies_.push_front(std::move(next));
    next = ScriptedRead{};
  }
  *error = next.error;
  if (next.bytes.size() > max) {
    replies_.push_front({std::vector<uint8_t>(next.bytes.begin() + max, next.bytes.end()), 0, 0});
    next.bytes.resize(max);
  }
  std::copy(next.bytes.begin(), next.bytes.end(), call.reply + call.held);
  // A silent read lasts its full time-out; a reply ends 50 ms after its last
  // byte, or at once when the port ends reads at a whole reply.
  // A read that gets all it asked for ends with its last byte.
  uint64_t took = next.tookMs;
  if (next.bytes.empty()) {
    took = bound;
  } else if (next.bytes.size() < max &&
             (port->readEnd == ReadEnd::Gap ||
              IsWholeReply(call.reply, call.held + static_cast<uint32_t>(next.bytes.size())) ==
                  0)) {
    took += 50;
  }
  elapsedMs_ += std::min<uint64_t>(took, bound);
  log_.push_back({FakeEvent::Read, next.bytes, max, call.limitMs, next.error});
  if (next.error != 0) port->lastError = next.error;
  return static_cast<uint32_t>(next.bytes.size());
}

void FakePort::Sleep(uint32_t milliseconds) {
  elapsedMs_ += milliseconds;
  log_.push_back({FakeEvent::Sleep, {}, milliseconds, 0, 0});
}

// Nothing is made durable; the size the file has on disk when the sync is
// asked for shows what had been written by then.
int FakePort::SyncFile(std::FILE* file) {
  int error = 0;
  for (const WriteFailure& f : syncFailures_) {
    if (f.index == syncs_) error = f.error;
  }
  ++syncs_;
  struct stat info {};
  const uint32_t size =
      fstat(fileno(file), &info) == 0 ? static_cast<uint32_t>(info.st_size) : UINT32_MAX;
  log_.push_back({FakeEvent::Sync, {}, size, 0, error});
  return error;
}

std::vector<uint32_t> FakePort::ReadLimits() const {
  std::vector<uint32_t> limits;
  for (const FakeEvent& e : log_) {
    if (e.kind == FakeEvent::Read) limits.push_back(e.limit);
  }
  return limits;
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
    if (e.kind == FakeEvent::Sleep) pauses.push_back(e.value);
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
  // Sized once and filled in place: GCC 12 at -O2 takes an insert into a
  // one-byte vector for an overflow (a false -Warray-bounds).
  std::vector<uint8_t> frame(text.size() + 3);
  frame[0] = ASCII_STX;
  std::copy(text.begin(), text.end(), frame.begin() + 1);
  frame[text.size() + 1] = terminator;
  frame[text.size() + 2] = static_cast<uint8_t>(
      BlockCheck(frame.data() + 1, static_cast<int32_t>(text.size() + 1), kCheckXor, kCheckPlain));
  return frame;
}

std::vector<uint8_t> StatusFrame(std::initializer_list<int> data) {
  std::string text;
  for (int v : data) text.push_back(static_cast<char>(v));
  return Frame(text);
}

}  // namespace vexolant
