#include "sim/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace vexolant::sim {

namespace {

using Clock = std::chrono::steady_clock;

// An unfinished frame is dropped after this long without another byte: the
// tool writes a frame at once, so the sender has gone away.
constexpr auto kUnfinishedFrame = std::chrono::milliseconds(500);
// How much of an overlong frame the log shows.
constexpr size_t kOverlongShown = 16;

// Go on serving, end with status 0, end with status 1, or wait for the next
// network client.
enum class Flow { Go, Done, Failed, Left };

// --- Telnet with the COM-PORT-OPTION (--rfc2217) ---------------------------

const char* ComPortName(uint8_t command) {
  switch (command) {
    case kComPortSetBaudRate:
      return "SET-BAUDRATE";
    case kComPortSetDataSize:
      return "SET-DATASIZE";
    case kComPortSetParity:
      return "SET-PARITY";
    case kComPortSetStopSize:
      return "SET-STOPSIZE";
    case kComPortSetControl:
      return "SET-CONTROL";
    case kComPortPurgeData:
      return "PURGE-DATA";
    default:
      return nullptr;
  }
}

void SendRaw(Session& s, const Bytes& bytes) {
  if (!WriteAll(s.line, bytes.data(), bytes.size())) {
    LogLine(s.log, "note", "could not send a Telnet answer");
  }
}

// The options the printer takes: BINARY and SGA at its side, BINARY, SGA and
// COM-PORT-OPTION at the client's. Each is answered once, when it changes.
void AnswerNegotiation(Session& s, uint8_t verb, uint8_t option) {
  TelnetServer& t = s.telnet;
  const bool ours = option == kOptionBinary || option == kOptionSga;
  const bool theirs = ours || option == kOptionComPort;
  uint8_t answer[3];
  uint32_t n = 0;
  if (verb == kTelnetDo) {
    if (!ours) n = TelnetNegotiation(kTelnetWont, option, answer);
    if (ours && t.usOn[option] == 0) n = TelnetNegotiation(kTelnetWill, option, answer);
    if (ours) t.usOn[option] = 1;
  } else if (verb == kTelnetWill) {
    if (!theirs) n = TelnetNegotiation(kTelnetDont, option, answer);
    if (theirs && t.himOn[option] == 0) n = TelnetNegotiation(kTelnetDo, option, answer);
    if (theirs) t.himOn[option] = 1;
  } else if (verb == kTelnetDont && t.usOn[option] != 0) {
    t.usOn[option] = 0;
    n = TelnetNegotiation(kTelnetWont, option, answer);
  } else if (verb == kTelnetWont && t.himOn[option] != 0) {
    t.himOn[option] = 0;
    n = TelnetNegotiation(kTelnetDont, option, answer);
  }
  if (n > 0) SendRaw(s, Bytes(answer, answer + n));
}

void OnTelnetCommand(void* context, const TelnetCommand& c) {
  Session& s = *static_cast<Session*>(context);
  if (c.verb != kTelnetSb) {
    if (c.verb == kTelnetWill || c.verb == kTelnetWont || c.verb == kTelnetDo ||
        c.verb == kTelnetDont) {
      if (!s.telnet.silent) AnswerNegotiation(s, c.verb, c.option);
    }
    return;
  }
  if (c.option != kOptionComPort || c.length < 2) return;
  const char* name = ComPortName(c.bytes[1]);
  // Appended piece by piece: GCC 12 takes "text" + std::string for an
  // overlapping copy at -O2.
  std::string text = "rfc2217 ";
  if (name != nullptr) {
    text += name;
  } else {
    text += "command ";
    text += std::to_string(c.bytes[1]);
  }
  uint32_t value = 0;
  for (uint32_t i = 2; i < c.length; ++i) value = value << 8 | c.bytes[i];
  text += ' ';
  text += std::to_string(value);
  if (s.telnet.silent) text += " (not answered)";
  LogLine(s.log, "note", text);
  if (s.telnet.silent || name == nullptr) return;
  Bytes answer(c.length + 4);
  answer.resize(ComPortRequest(static_cast<uint8_t>(c.bytes[1] + kComPortServer), c.bytes + 2,
                               c.length - 2, answer.data()));
  SendRaw(s, answer);
}

// Writes answer bytes: on Telnet, 0xFF doubled, and with --telnet-inject a
// sub-negotiation split across two writes after the first byte, and a NOP.
bool WriteAnswer(Session& s, const uint8_t* bytes, size_t count) {
  if (!s.telnet.on) return WriteAll(s.line, bytes, count);
  Bytes encoded(count * 2);
  encoded.resize(TelnetEncode(bytes, static_cast<uint32_t>(count), encoded.data()));
  if (!s.telnet.inject || encoded.empty()) return WriteAll(s.line, encoded.data(), encoded.size());
  const size_t first = encoded[0] == kTelnetIac ? 2 : 1;
  const Bytes head(encoded.begin(), encoded.begin() + static_cast<long>(first));
  const Bytes open = {kTelnetIac,     kTelnetSb,
                      kOptionComPort, kComPortNotifyModemState + kComPortServer,
                      0x30,           kTelnetIac};
  const Bytes close = {kTelnetSe, kTelnetIac, kTelnetNop};
  const Bytes tail(encoded.begin() + static_cast<long>(first), encoded.end());
  for (const Bytes* piece : {&head, &open, &close, &tail}) {
    if (piece->empty()) continue;
    if (!WriteAll(s.line, piece->data(), piece->size())) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

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
    if (!WriteAnswer(s, out.bytes.data() + at, n)) {
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
  const bool enq = !frame && r.bytes[0] == kEnq;
  const bool ack = !frame && r.bytes[0] == kAck;
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
  ssize_t n = read(s.line.master, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Flow::Go;
  if (n <= 0 && s.listener >= 0 && !st.draining) {
    LogLine(s.log, "note", "the client left");
    return Flow::Left;
  }
  if (n <= 0) {  // every slave end is closed
    LogLine(s.log, "note", st.draining ? "the line is closed; done" : "the line is gone");
    return st.draining ? Flow::Done : Flow::Failed;
  }
  st.lastByte = Clock::now();
  if (s.telnet.on) {
    n = TelnetDecode(&s.telnet.decoder, buffer, static_cast<uint32_t>(n), buffer, OnTelnetCommand,
                     &s);
  }
  for (ssize_t i = 0; i < n; ++i) {
    const Received r = Push(st.assembler, buffer[i]);
    if (r.kind == Received::None) continue;
    const Flow flow = Handle(s, st, r);
    if (flow != Flow::Go) return flow;
  }
  return Flow::Go;
}

// A client that comes while another is served is told so and closed, as a
// serial device server does.
void TurnAway(const Session& s) {
  const int fd = accept(s.listener, nullptr, nullptr);
  if (fd < 0) return;
  static const char kText[] = "Port already in use\r\n";
  [[maybe_unused]] const ssize_t sent = send(fd, kText, sizeof kText - 1, MSG_NOSIGNAL);
  close(fd);
  LogLine(s.log, "note", "another client turned away");
}

}  // namespace

int Serve(Session& s) {
  State st;
  for (;;) {
    pollfd fds[3] = {{s.line.master, POLLIN, 0}, {s.stopFd, POLLIN, 0}, {s.listener, POLLIN, 0}};
    const int rc = poll(fds, s.listener >= 0 ? 3 : 2, PollTimeout(st));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) {
      LogLine(s.log, "note", "poll failed");
      return 1;
    }
    if (fds[1].revents != 0) {
      LogLine(s.log, "note", "stopped");
      return 0;
    }
    if (s.listener >= 0 && fds[2].revents != 0) {
      TurnAway(s);
      if (fds[0].revents == 0) continue;
    }
    if (rc == 0) {
      LogLine(s.log, "recv",
              Describe(DropPartial(st.assembler), false) + " (unfinished frame, dropped)");
      continue;
    }
    const Flow flow = ReadAndHandle(s, st);
    if (flow == Flow::Left) return kClientLeft;
    if (flow != Flow::Go) return flow == Flow::Done ? 0 : 1;
  }
}

}  // namespace vexolant::sim
