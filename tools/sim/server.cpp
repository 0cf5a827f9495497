#include "sim/server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "link/frame.h"

namespace vexolant::sim {

namespace {

using Clock = std::chrono::steady_clock;

// An unfinished frame is dropped after this long without another byte: the
// tool writes a frame at once, so the sender has gone away.
constexpr auto kUnfinishedFrame = std::chrono::milliseconds(500);
// How much of an overlong frame the log shows.
constexpr size_t kOverlongShown = 16;

// Go on serving, end with status 0, or end with status 1.
enum class Flow { Go, Done, Failed };

struct State {
  Assembler assembler;
  Clock::time_point lastByte;
  int requests = 0;
  bool draining = false;  // the last exchange is done; waiting for the tool to leave
};

// Waits ms milliseconds on the monotonic clock, watching for a stop signal;
// false when one arrived. The line is not read meanwhile: what the tool sends
// waits in it and is logged when the wait is over.
bool WaitUnlessStopped(const Session& s, int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return true;
    pollfd p{s.stopFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) > 0) {
      LogLine(s.log, "note", "stopped");
      return false;
    }
  }
}

std::string Joined(const std::vector<std::string>& tokens, size_t from, size_t to) {
  std::string text;
  for (size_t i = from; i < to; ++i) text += tokens[i];
  return text;
}

// Sends one answer, in pieces when the pacing says so; false when a stop
// signal arrived during a pause between pieces.
bool Send(Session& s, const Outgoing& out, const Pacing& pacing) {
  const std::vector<std::string> tokens = Tokens(out.bytes, out.frame);
  const size_t size = out.bytes.size();
  const size_t piece = pacing.pieceSize > 0 ? static_cast<size_t>(pacing.pieceSize) : size;
  for (size_t at = 0; at < size; at += piece) {
    if (at > 0 && !WaitUnlessStopped(s, pacing.gapMs)) return false;
    const size_t n = std::min(piece, size - at);
    const std::string text = Joined(tokens, at, at + n);
    if (!WriteAll(s.line, out.bytes.data() + at, n)) {
      LogLine(s.log, "note", "could not send " + text + ": the line is full or gone");
      return true;
    }
    LogLine(s.log, "send", text);
  }
  return true;
}

Flow Perform(Session& s, const Reply& reply) {
  if (!reply.note.empty()) LogLine(s.log, "note", reply.note);
  if (reply.hangup) {
    CloseLine(s.line);
    LogLine(s.log, "note", "line closed");
    return Flow::Done;
  }
  if (!reply.sends.empty() && !WaitUnlessStopped(s, reply.pacing.delayMs)) return Flow::Done;
  for (const Outgoing& out : reply.sends) {
    if (!Send(s, out, reply.pacing)) return Flow::Done;
  }
  return Flow::Go;
}

void StartDrainingWhenDone(Session& s, State& st) {
  if (s.exchanges <= 0 || st.requests < s.exchanges || AwaitingAck(s.printer)) return;
  st.draining = true;
  ReleaseSlave(s.line);
  LogLine(s.log, "note",
          "served " + std::to_string(st.requests) + " request(s); ending when the line is closed");
}

Flow Handle(Session& s, State& st, const Received& r) {
  if (r.kind == Received::Overflow) {
    const Bytes shown(r.bytes.begin(), r.bytes.begin() + kOverlongShown);
    LogLine(s.log, "recv",
            Describe(shown, false) + "... (" + std::to_string(r.bytes.size()) +
                " bytes without ETX or ETB, dropped)");
    return Flow::Go;
  }
  const bool frame = r.kind == Received::Frame;
  const bool enq = !frame && r.bytes[0] == ASCII_ENQ;
  const bool ack = !frame && r.bytes[0] == ASCII_ACK;
  const std::string text = Describe(r.bytes, frame);
  if (!frame && !enq && !ack) {
    LogLine(s.log, "recv", text + " (ignored)");
    return Flow::Go;
  }
  LogLine(s.log, "recv", text);
  if (st.draining) {
    if (!ack) LogLine(s.log, "note", "not answered: the last exchange is done");
    return Flow::Go;
  }
  Reply reply;
  if (ack) {
    reply = OnAck(s.printer);
  } else {
    ++st.requests;
    LiftExclusive(s.line);
    reply = enq ? OnEnquiry(s.printer) : OnFrame(s.printer, r.bytes);
  }
  const Flow flow = Perform(s, reply);
  if (flow == Flow::Go) StartDrainingWhenDone(s, st);
  return flow;
}

int PollTimeout(const State& st) {
  if (!MidFrame(st.assembler)) return -1;
  const auto left = st.lastByte + kUnfinishedFrame - Clock::now();
  return static_cast<int>(
      std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

Flow ReadAndHandle(Session& s, State& st) {
  uint8_t buffer[4096];
  const ssize_t n = read(s.line.master, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Flow::Go;
  if (n <= 0) {  // every slave end is closed
    LogLine(s.log, "note", st.draining ? "the line is closed; done" : "the line is gone");
    return st.draining ? Flow::Done : Flow::Failed;
  }
  st.lastByte = Clock::now();
  for (ssize_t i = 0; i < n; ++i) {
    const Received r = Push(st.assembler, buffer[i]);
    if (r.kind == Received::None) continue;
    const Flow flow = Handle(s, st, r);
    if (flow != Flow::Go) return flow;
  }
  return Flow::Go;
}

}  // namespace

int Serve(Session& s) {
  State st;
  for (;;) {
    pollfd fds[2] = {{s.line.master, POLLIN, 0}, {s.stopFd, POLLIN, 0}};
    const int rc = poll(fds, 2, PollTimeout(st));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) {
      LogLine(s.log, "note", "poll failed");
      return 1;
    }
    if (fds[1].revents != 0) {
      LogLine(s.log, "note", "stopped");
      return 0;
    }
    if (rc == 0) {
      LogLine(s.log, "recv",
              Describe(DropPartial(st.assembler), false) + " (unfinished frame, dropped)");
      continue;
    }
    const Flow flow = ReadAndHandle(s, st);
    if (flow != Flow::Go) return flow == Flow::Done ? 0 : 1;
  }
}

}  // namespace vexolant::sim
