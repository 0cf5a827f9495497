// The network backend against scripted servers on the loopback: names,
// refused and silent servers, busy servers, the rfc2217 negotiation and its
// failures, Telnet commands in the middle of a reply, unconfirmed purges and
// connections that end in the middle of an exchange.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/port.h"
#include "link/telnet.h"
#include "loopback.h"
#include "platform/os_error.h"

using namespace vexolant;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A server on 127.0.0.1 that runs a script on each client it accepts, one
// after the other, until `clients` have been served or it is destroyed.
class Server {
 public:
  using Script = std::function<void(int fd)>;
  explicit Server(Script script, int clients = 1) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    port_ = BindToFreeLoopbackPort(listener_);
    listen(listener_, 4);
    thread_ = std::thread([this, clients] {
      for (int i = 0; i < clients && !stop_;) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ++i;
        const int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        const int on = 1;  // each send its own segment
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        script_(fd);
        close(fd);
      }
    });
  }
  ~Server() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  std::string Name(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// A port number on which nothing listens.
int UnusedPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const int port = BindToFreeLoopbackPort(s);
  close(s);
  return port;
}

void Send(int fd, const Bytes& bytes) {
  ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// What a client sent, read until `until` holds or 3 s passed.
struct Heard {
  TelnetDecoder decoder;
  Bytes data;
  std::vector<Bytes> subs;  // COM-PORT-OPTION requests: command, value
  int negotiations = 0;
};

void OnClientCommand(void* context, const TelnetCommand& c) {
  Heard* heard = static_cast<Heard*>(context);
  if (c.verb == kTelnetSb) {
    heard->subs.emplace_back(c.bytes + 1, c.bytes + c.length);
  } else {
    ++heard->negotiations;
  }
}

bool Listen(int fd, Heard* heard, const std::function<bool(const Heard&)>& until) {
  const auto end = Clock::now() + std::chrono::seconds(3);
  while (!until(*heard)) {
    pollfd p{fd, POLLIN, 0};
    if (Clock::now() > end || poll(&p, 1, 100) < 0) return false;
    if (p.revents == 0) continue;
    uint8_t buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    const uint32_t got = TelnetDecode(&heard->decoder, buffer, static_cast<uint32_t>(n), buffer,
                                      OnClientCommand, heard);
    heard->data.insert(heard->data.end(), buffer, buffer + got);
  }
  return true;
}

Bytes ComPortAnswer(const Bytes& request, uint8_t changeParityTo = 0) {
  Bytes answer = {kTelnetIac, kTelnetSb, kOptionComPort,
                  static_cast<uint8_t>(request.at(0) + kComPortServer)};
  for (size_t i = 1; i < request.size(); ++i) {
    uint8_t b = request[i];
    if (request[0] == kComPortSetParity && changeParityTo != 0) b = changeParityTo;
    answer.push_back(b);
    if (b == kTelnetIac) answer.push_back(b);
  }
  answer.insert(answer.end(), {kTelnetIac, kTelnetSe});
  return answer;
}

const Bytes kAgree = {kTelnetIac,    kTelnetDo,  kOptionBinary, kTelnetIac, kTelnetWill,
                      kOptionBinary, kTelnetIac, kTelnetDo,     kOptionSga, kTelnetIac,
                      kTelnetWill,   kOptionSga, kTelnetIac,    kTelnetDo,  kOptionComPort};

// The server's side of a good rfc2217 open: options agreed, each line
// setting answered (parity as changeParityTo when given).
void AgreeToOpen(int fd, Heard* heard, uint8_t changeParityTo = 0) {
  ASSERT_TRUE(Listen(fd, heard, [](const Heard& h) { return h.negotiations >= 5; }));
  Send(fd, kAgree);
  ASSERT_TRUE(Listen(fd, heard, [](const Heard& h) { return h.subs.size() >= kLineSettingCount; }));
  for (const Bytes& request : heard->subs) Send(fd, ComPortAnswer(request, changeParityTo));
}

struct Opened {
  int result = -1;
  int32_t error = 0;
  uint32_t waited = 0;
  long long ms = 0;
  OpenProblem problem = OpenProblem::None;
};

Opened OpenName(Port* port, const std::string& name, uint32_t busyWaitMs = 0) {
  port->busyWaitMs = busyWaitMs;
  port->negotiationTimeoutMs = 300;
  Opened o;
  const auto start = Clock::now();
  o.result = PortOpen(port, name.c_str(), &o.error, &o.waited);
  o.ms = MsSince(start);
  o.problem = port->openProblem;
  return o;
}

TEST(NetworkPortName, MalformedNamesAreRefusedLikeBadLocalNames) {
  struct Case {
    const char* name;
    bool good;
  } cases[] = {
      {"tcp://127.0.0.1:4001", true},   {"rfc2217://printer-host.example:65535", true},
      {"tcp://[::1]:4001", true},       {"tcp://[fe80::1%eth0]:1", true},
      {"tcp://127.0.0.1", false},       {"tcp://127.0.0.1:", false},
      {"tcp://:4001", false},           {"tcp://127.0.0.1:0", false},
      {"tcp://127.0.0.1:65536", false}, {"tcp://127.0.0.1:99999999999", false},
      {"tcp://127.0.0.1:40a1", false},  {"tcp://::1:4001", false},
      {"tcp://[::1:4001", false},       {"tcp://[::1]4001", false},
      {"rfc2217://host name:1", false}, {"tcp://host/x:1", false},
      {"tcp://host\x01:1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PortNameFault(c.name) == nullptr, c.good) << PortNameFault(c.name);
    EXPECT_EQ(PortNameError(c.name) == 0, c.good);
  }
  EXPECT_NE(PortNameFault("tcp://" + std::string(250, 'a') + ":1"), nullptr);
  EXPECT_EQ(PortNameFault("ttyS0"), nullptr);
}

TEST(NetworkPort, AServerThatIsNotThereFailsAtOnce) {
  for (const char* scheme : {"tcp", "rfc2217"}) {
    SCOPED_TRACE(scheme);
    Port port;
    const Opened o =
        OpenName(&port, std::string(scheme) + "://127.0.0.1:" + std::to_string(UnusedPort()), 5000);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.error, ECONNREFUSED);
    EXPECT_EQ(o.problem, OpenProblem::Refused);
    EXPECT_LT(o.ms, 1000);
    EXPECT_EQ(PortBusyError(o.error), 0);
  }
}

// A host name that does not resolve is a reason of its own, apart from a
// host that cannot be reached; a malformed name is refused before any look-up.
TEST(NetworkPort, AHostThatDoesNotResolveAndAMalformedNameAreToldApart) {
  struct Case {
    const char* name;
    OpenProblem problem;
  } cases[] = {
      {"tcp://vexolant-no-such-host.invalid:4001", OpenProblem::UnknownHost},
      {"rfc2217://vexolant-no-such-host.invalid:4001", OpenProblem::UnknownHost},
      {"tcp://127.0.0.1", OpenProblem::BadName},
      {"rfc2217://printerhost", OpenProblem::BadName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Port port;
    port.connectTimeoutMs = 3000;
    const Opened o = OpenName(&port, c.name, 1000);
    EXPECT_EQ(o.result, 0);
    EXPECT_NE(o.error, 0);
    EXPECT_EQ(o.problem, c.problem) << OpenProblemName(o.problem);
    EXPECT_LT(o.ms, 900) << "not waited for as a busy port";
  }
}

TEST(NetworkPort, AServerThatNeverAnswersTheOptionsEndsTheOpenAtTheBound) {
  Server server([](int fd) {
    Heard heard;
    Listen(fd, &heard, [](const Heard&) { return false; });
  });
  Port port;
  const Opened o = OpenName(&port, server.Name("rfc2217"));
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.error, ETIMEDOUT);
  EXPECT_EQ(o.problem, OpenProblem::TimedOut);
  EXPECT_GE(o.ms, 290);
  EXPECT_LT(o.ms, 2500);
}

// rfc2217://: a server that closes during the negotiation (after a text or
// a command, or at once) turned the client away: the open waits for it.
TEST(NetworkPort, AServerThatTurnsTheClientAwayDuringTheOpenIsBusyAndWaitedFor) {
  for (const Bytes& text :
       {Bytes{}, Bytes{kTelnetIac, kTelnetWill, kOptionSga, 'b', 'u', 's', 'y'}}) {
    SCOPED_TRACE(text.size());
    Server server([&](int fd) { Send(fd, text); }, 1000);
    Port port;
    const Opened o = OpenName(&port, server.Name("rfc2217"), kBusyRetryMs);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(PortBusyError(o.error), 1) << OsErrorText(o.error);
    EXPECT_EQ(o.problem, OpenProblem::ServerBusy);
    EXPECT_GE(o.waited, kBusyRetryMs);
  }
}

// An exchange on an open port: purge, the request, a read of up to max bytes.
struct Exchanged {
  int purged = 0;
  int32_t writeError = 0;
  uint32_t got = 0;
  int32_t readError = 0;
  long long ms = 0;
};

Exchanged Exchange(Port* port, const Bytes& request, uint8_t* reply, uint32_t max) {
  Exchanged e;
  const auto start = Clock::now();
  e.purged = PortPurge(port);
  PortWrite(port, request.data(), static_cast<uint32_t>(request.size()), &e.writeError);
  e.got = PortReadCall(port, ReadCall{reply, 0, max, 2000}, &e.readError);
  e.ms = MsSince(start);
  return e;
}

// tcp://: the open does not wait for a busy server's sign. A server that
// closes in place of the first reply (after a text, or at once) turned the
// client away and threw its request away: the port connects again every
// 25 ms and sends the request again, for the busy wait at most, and then
// fails with the busy reason.
TEST(NetworkPort, ATcpServerThatTurnsTheClientAwayAtTheFirstExchangeIsWaitedFor) {
  const Bytes enq = {0x05};
  for (const Bytes& text : {Bytes{}, Bytes{'i', 'n', ' ', 'u', 's', 'e', '\r', '\n'}}) {
    SCOPED_TRACE(text.size());
    std::atomic<int> clients = 0;
    Server server(
        [&](int fd) {
          ++clients;
          Send(fd, text);
        },
        1000);
    Port port;
    const Opened o = OpenName(&port, server.Name("tcp"), 150);
    ASSERT_EQ(o.result, 1) << "opened at once";
    EXPECT_LT(o.ms, 40);
    uint8_t reply[8];
    const Exchanged e = Exchange(&port, enq, reply, 1);
    EXPECT_EQ(e.got, 0u);
    EXPECT_EQ(PortBusyError(e.readError != 0 ? e.readError : e.writeError), 1)
        << OsErrorText(e.readError) << " " << e.purged;
    EXPECT_EQ(port.openProblem, OpenProblem::ServerBusy);
    EXPECT_GE(e.ms, 140);
    EXPECT_LT(e.ms, 1500);
    EXPECT_GE(clients.load(), 3) << "tried again";
    PortClose(&port);
  }
}

// The server turns the first two clients away and serves the third: the
// request reaches it once, and its reply is the read's.
TEST(NetworkPort, ATcpServerThatServesAfterTurningTheClientAwayGetsTheRequestOnce) {
  const Bytes request = {0x02, 'a', 'b', 0x03, 0x60};
  Bytes heardData;
  int client = 0;
  Server server(
      [&](int fd) {
        if (++client < 3) {
          Send(fd, {'b', 'u', 's', 'y', '\r', '\n'});
          return;
        }
        Heard heard;
        Listen(fd, &heard, [&](const Heard& h) { return h.data.size() >= request.size(); });
        heardData = heard.data;
        Send(fd, {0x06});
        Listen(fd, &heard, [](const Heard&) { return false; });
      },
      3);
  Port port;
  ASSERT_EQ(OpenName(&port, server.Name("tcp"), 5000).result, 1);
  uint8_t reply[8] = {};
  const Exchanged e = Exchange(&port, request, reply, 1);
  EXPECT_EQ(e.purged, 1);
  EXPECT_EQ(e.writeError, 0);
  EXPECT_EQ(e.readError, 0) << OsErrorText(e.readError);
  ASSERT_EQ(e.got, 1u);
  EXPECT_EQ(reply[0], 0x06);
  EXPECT_EQ(port.openProblem, OpenProblem::None);
  PortClose(&port);
  EXPECT_EQ(heardData, request);
  EXPECT_EQ(client, 3);
}

// A close without a text that comes well after the connect, once the server
// has taken the request, is a connection that failed: the request is not
// sent again (the printer may have it).
TEST(NetworkPort, ATcpServerThatClosesLateWithoutATextIsAPortFailureNotABusyOne) {
  std::atomic<int> clients = 0;
  Server server(
      [&](int fd) {
        ++clients;
        Heard heard;
        Listen(fd, &heard, [](const Heard& h) { return !h.data.empty(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      },
      5);
  Port port;
  ASSERT_EQ(OpenName(&port, server.Name("tcp"), 5000).result, 1);
  uint8_t reply[8];
  const Exchanged e = Exchange(&port, {0x05}, reply, 1);
  EXPECT_EQ(e.got, 0u);
  EXPECT_TRUE(e.readError == ECONNRESET || e.readError == EPIPE) << OsErrorText(e.readError);
  EXPECT_EQ(port.openProblem, OpenProblem::None);
  EXPECT_LT(e.ms, 1000);
  PortClose(&port);
  EXPECT_EQ(clients.load(), 1);
}

TEST(NetworkPort, Rfc2217OpenFailsWhenTheServerRefusesTheOptionOrTheLine) {
  struct Case {
    const char* name;
    std::function<void(int)> script;
    int32_t error;
    OpenProblem problem;
  } cases[] = {
      {"COM-PORT-OPTION refused",
       [](int fd) {
         Heard heard;
         Listen(fd, &heard, [](const Heard& h) { return h.negotiations >= 5; });
         Send(fd, {kTelnetIac, kTelnetDo, kOptionBinary, kTelnetIac, kTelnetWill, kOptionBinary,
                   kTelnetIac, kTelnetDont, kOptionComPort});
         Listen(fd, &heard, [](const Heard&) { return false; });
       },
       EPROTONOSUPPORT, OpenProblem::OptionRefused},
      {"odd parity answered",
       [](int fd) {
         Heard heard;
         AgreeToOpen(fd, &heard, 2);
         Listen(fd, &heard, [](const Heard&) { return false; });
       },
       EPROTO, OpenProblem::OtherLine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Server server(c.script);
    Port port;
    const Opened o = OpenName(&port, server.Name("rfc2217"), 1000);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(o.problem, c.problem);
    EXPECT_LT(o.ms, 1000);
    PortClose(&port);
  }
}

// A request and its reply over rfc2217: the frame that arrives is the one
// written, 0xFF undoubled; the reply comes back whole through Telnet commands
// split across the server's writes.
TEST(NetworkPort, Rfc2217CarriesFramesThroughTelnetCommandsAndDoubled0xFF) {
  const Bytes request = {0x02, 0xFF, 'a', 0x03, 0xFD};
  const Bytes reply = {0x02, 0x40, 0xBF, 0x03, 0xFF};
  Bytes heardData;
  int purges = 0;
  Server server([&](int fd) {
    Heard heard;
    AgreeToOpen(fd, &heard);
    Listen(fd, &heard, [](const Heard& h) { return h.subs.size() > kLineSettingCount; });
    purges = static_cast<int>(heard.subs.size() - kLineSettingCount);
    Send(fd, ComPortAnswer(heard.subs.back()));
    Listen(fd, &heard, [&](const Heard& h) { return h.data.size() >= request.size(); });
    heardData = heard.data;
    // STX 0x40 | IAC SB 44 107 0x30 IAC | SE | 0xBF 0x03 IAC | NOP | IAC IAC(0xFF):
    // pieces that hold only commands among them.
    const std::vector<Bytes> pieces = {
        {0x02, 0x40, kTelnetIac, kTelnetSb, kOptionComPort, 107, 0x30, kTelnetIac},
        {kTelnetSe},
        {0xBF, 0x03, kTelnetIac},
        {kTelnetNop},
        {kTelnetIac, kTelnetIac}};
    for (const Bytes& piece : pieces) {
      Send(fd, piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Listen(fd, &heard, [](const Heard&) { return false; });
  });
  Port port;
  ASSERT_EQ(OpenName(&port, server.Name("rfc2217")).result, 1);
  EXPECT_EQ(PortPurge(&port), 1);
  int32_t error = -1;
  PortWrite(&port, request.data(), static_cast<uint32_t>(request.size()), &error);
  EXPECT_EQ(error, 0);
  uint8_t buffer[9] = {};
  port.readEnd = ReadEnd::Complete;
  const auto start = Clock::now();
  const uint32_t got = PortRead(&port, buffer, 9, &error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Bytes(buffer, buffer + got), reply);
  EXPECT_LT(MsSince(start), 1000);
  PortClose(&port);
  EXPECT_EQ(purges, 1);
  EXPECT_EQ(heardData, request);
}

TEST(NetworkPort, AnUnconfirmedPurgeIsToleratedOnceAfterTheBound) {
  Server server([](int fd) {
    Heard heard;
    AgreeToOpen(fd, &heard);
    Listen(fd, &heard, [](const Heard&) { return false; });
  });
  Port port;
  ASSERT_EQ(OpenName(&port, server.Name("rfc2217")).result, 1);
  auto start = Clock::now();
  EXPECT_EQ(PortPurge(&port), 1);
  EXPECT_GE(MsSince(start), 290);
  start = Clock::now();
  EXPECT_EQ(PortPurge(&port), 1);
  EXPECT_LT(MsSince(start), 200);
  PortClose(&port);
}

TEST(NetworkPort, AConnectionThatEndsMidExchangeIsAPortFailure) {
  for (const char* scheme : {"tcp", "rfc2217"}) {
    SCOPED_TRACE(scheme);
    const bool telnet = std::string(scheme) == "rfc2217";
    Server server([&](int fd) {
      Heard heard;
      if (telnet) AgreeToOpen(fd, &heard);
      // Stays long enough for the busy watch of tcp://, then closes.
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    });
    Port port;
    ASSERT_EQ(OpenName(&port, server.Name(scheme)).result, 1);
    uint8_t buffer[9];
    int32_t error = 0;
    const uint32_t got = PortRead(&port, buffer, 9, &error);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_EQ(PortLastError(&port), ECONNRESET);
    EXPECT_EQ(PortPurge(&port), 0);
    PortClose(&port);
  }
}

TEST(NetworkPort, RawTcpPurgeDropsWhatArrivedAndReadsAreTheServersBytes) {
  Server server([](int fd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Send(fd, {'o', 'l', 'd'});
    uint8_t byte = 0;
    if (recv(fd, &byte, 1, 0) == 1) Send(fd, {0xFF, 0x06});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  });
  Port port;
  ASSERT_EQ(OpenName(&port, server.Name("tcp")).result, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(PortPurge(&port), 1);
  int32_t error = 0;
  const uint8_t enq = 0x05;
  PortWrite(&port, &enq, 1, &error);
  uint8_t buffer[9];
  const uint32_t got = PortRead(&port, buffer, 2, &error);
  EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{0xFF, 0x06}));
  PortClose(&port);
}

}  // namespace

namespace {

// A close after a write that had no answer (the ACK that ends an upload)
// gives the server time to pass it on before the connection ends: ser2net
// drops bytes that come right before a close. On rfc2217:// the close asks
// for the baud rate and waits for the answer; on both it lets 50 ms pass
// since the write. After a write that was answered it closes at once.
TEST(NetworkPort, ACloseWaitsUntilTheServerHasTheLastUnansweredWrite) {
  struct Case {
    const char* scheme;
    bool answered;
    long long minMs;
    size_t queries;  // SET-BAUDRATE requests after the line settings
  } cases[] = {
      {"tcp", false, 45, 0},
      {"tcp", true, 0, 0},
      {"rfc2217", false, 45, 1},
      {"rfc2217", true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scheme) + (c.answered ? " answered" : " unanswered"));
    const bool telnet = std::string(c.scheme) == "rfc2217";
    size_t queries = 0;
    long long ms = 0;
    {
      Server server([&](int fd) {
        Heard heard;
        if (telnet) AgreeToOpen(fd, &heard);
        Listen(fd, &heard, [](const Heard& h) { return !h.data.empty(); });
        if (c.answered) Send(fd, {0x06});
        // Answers each request that comes until the client closes.
        // (The first request may come with the data, in the same read.)
        for (size_t seen = telnet ? kLineSettingCount : 0;
             Listen(fd, &heard, [&](const Heard& h) { return h.subs.size() > seen; });
             seen = heard.subs.size()) {
          ++queries;
          Send(fd, ComPortAnswer(heard.subs.back()));
        }
      });
      Port port;
      ASSERT_EQ(OpenName(&port, server.Name(c.scheme)).result, 1);
      int32_t error = 0;
      const uint8_t enq = 0x05;
      PortWrite(&port, &enq, 1, &error);
      if (c.answered) {
        uint8_t reply[1];
        EXPECT_EQ(PortRead(&port, reply, 1, &error), 1u);
      }
      const auto start = Clock::now();
      PortClose(&port);
      ms = MsSince(start);
    }  // the server has seen the client leave
    EXPECT_GE(ms, c.minMs);
    EXPECT_LT(ms, 450);
    EXPECT_EQ(queries, c.queries);
  }
}

}  // namespace
