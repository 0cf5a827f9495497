// vexolant-sim: a virtual printer on a pseudo-terminal, for trying and
// testing the tool (or any program that speaks the printer's protocol)
// without a printer.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "sim/server.h"
#include "vexolant/version.h"

namespace vexolant::sim {

namespace {

struct Options {
  Printer printer;
  std::string portFile;
  std::string logFile;
  int exchanges = 0;
  std::string tcp;  // HOST:PORT to serve on instead of a pseudo-terminal
  bool rfc2217 = false;
  bool telnetSilent = false;
  bool telnetInject = false;
};

using Apply = bool (*)(Options& options, const std::string& value, std::string* error);

struct OptionSpec {
  const char* name;
  const char* value;  // placeholder in the help, nullptr for a flag
  const char* help;
  Apply apply;
};

bool AddRule(Options& o, const std::string& text, std::string* error) {
  Rule rule;
  if (!ParseRule(text, &rule, error)) {
    *error = "rule \"" + text + "\": " + *error;
    return false;
  }
  o.printer.rules.push_back(rule);
  return true;
}

bool ApplyStatus(Options& o, const std::string& v, std::string* error) {
  if (ParseHex(v, &o.printer.status) &&
      (o.printer.status.size() == 2 || o.printer.status.size() == 6)) {
    return true;
  }
  *error = "--status takes 2 or 6 hex bytes, such as 4040 or 400000000000";
  return false;
}

bool ApplyEnq(Options& o, const std::string& v, std::string* error) {
  return AddRule(o, std::string(kEnqPrefix) + "=" + v, error);
}

bool ApplyRule(Options& o, const std::string& v, std::string* error) {
  return AddRule(o, v, error);
}

bool ApplyRules(Options& o, const std::string& v, std::string* error) {
  std::ifstream file(v, std::ios::binary);
  if (!file) {
    *error = "cannot read the rule file " + v;
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  std::vector<std::string> errors;
  std::vector<Rule> rules = ParseRuleFile(text.str(), &errors);
  if (!errors.empty()) {
    *error = v + ":" + errors.front();
    for (size_t i = 1; i < errors.size(); ++i) *error += "\n" + v + ":" + errors[i];
    return false;
  }
  o.printer.rules.insert(o.printer.rules.end(), rules.begin(), rules.end());
  return true;
}

bool ApplyPortFile(Options& o, const std::string& v, std::string*) {
  o.portFile = v;
  return true;
}

bool ApplyLog(Options& o, const std::string& v, std::string*) {
  o.logFile = v;
  return true;
}

bool ApplyExchanges(Options& o, const std::string& v, std::string* error) {
  char* end = nullptr;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (!v.empty() && *end == '\0' && n > 0 && n <= 1000000) {
    o.exchanges = static_cast<int>(n);
    return true;
  }
  *error = "--exchanges takes a number from 1";
  return false;
}

bool ApplyTcp(Options& o, const std::string& v, std::string* error) {
  const size_t colon = v.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == v.size()) {
    *error = "--tcp takes HOST:PORT, such as 127.0.0.1:4001 (PORT 0: any free port)";
    return false;
  }
  o.tcp = v;
  return true;
}

bool ApplyRfc2217(Options& o, const std::string& v, std::string* error) {
  if (v == "on") {
    o.rfc2217 = true;
  } else if (v == "silent") {
    o.rfc2217 = o.telnetSilent = true;
  } else if (v == "inject") {
    o.rfc2217 = o.telnetInject = true;
  } else {
    *error = "--rfc2217 takes on, silent or inject";
    return false;
  }
  return true;
}

constexpr OptionSpec kOptions[] = {
    {"--status", "HEX",
     "the printer's status bytes: D1 D2 for 5-byte status frames, D1..D6 for\n"
     "9-byte frames (default 4040: a healthy printer)",
     ApplyStatus},
    {"--enq", "STEPS", "how the status enquiry (ENQ) is answered; same as --rule '<ENQ>=STEPS'",
     ApplyEnq},
    {"--rule", "PREFIX=STEPS",
     "how commands starting with PREFIX are answered; repeatable, first match wins", ApplyRule},
    {"--rules", "FILE", "rules from a file: one PREFIX=STEPS a line, # starts a comment",
     ApplyRules},
    {"--port-file", "FILE", "also write the device path to FILE (such as Puerto.dat)",
     ApplyPortFile},
    {"--log", "FILE", "log to FILE instead of standard error", ApplyLog},
    {"--exchanges", "N", "end after N requests (ENQ or command frames) have been answered",
     ApplyExchanges},
    {"--tcp", "HOST:PORT",
     "serve one client at a time on a TCP port instead of a pseudo-terminal;\n"
     "prints the port name to open, such as tcp://127.0.0.1:4001 (PORT 0: any free port)",
     ApplyTcp},
    {"--rfc2217", "on|silent|inject",
     "with --tcp, speak Telnet with the COM-PORT-OPTION of RFC 2217: on answers the\n"
     "options and line settings and confirms purges; silent never answers them;\n"
     "inject also puts Telnet commands into the middle of every answer",
     ApplyRfc2217},
};

void PrintHelp() {
  std::printf(
      "Usage: vexolant-sim [options]\n"
      "\n"
      "A virtual printer on a pseudo-terminal. Prints the device path on the first\n"
      "line, then answers like a healthy printer: ENQ with a status frame, a command\n"
      "with ACK, a frame with a wrong check byte with NAK. Rules change the answers.\n"
      "Ends on SIGINT or SIGTERM, or with --exchanges.\n"
      "\n");
  for (const OptionSpec& o : kOptions) {
    std::printf("  %s %s\n", o.name, o.value);
    std::string help = o.help;
    for (size_t start = 0; start < help.size();) {
      size_t end = help.find('\n', start);
      if (end == std::string::npos) end = help.size();
      std::printf("      %s\n", help.substr(start, end - start).c_str());
      start = end + 1;
    }
  }
  std::printf(
      "  --help, --version\n"
      "\n"
      "STEPS, separated by commas (see tools/sim/README.md):\n"
      "  answers: ack  nak  silent  status[:HEX]  refuse[:HEX]  garbage:HEX\n"
      "           block:TEXT  report:N:TEXT[|TEXT...]   (TEXT runs to the end)\n"
      "  tries:   nak:K  silent:K   (the first K tries, then the answer)\n"
      "  faults:  badlrc[:K]  split:SIZE:MS  drip:MS  delay:MS  stop:K  hangup:K  etb\n"
      "Examples:\n"
      "  --enq nak:2            NAK two enquiries, then answer\n"
      "  --rule 'Z=refuse:4060' refuse commands starting with Z\n"
      "  --rule 'I0X=report:3:Line %%d'\n");
}

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& o : kOptions) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

// 0 when the options are good, otherwise the exit status (after --help,
// --version, or an error already printed).
int ParseOptions(int argc, char** argv, Options* options, bool* done) {
  *done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "--version") {
      if (arg == "--version") {
        std::printf("vexolant-sim %s (posix)\n", VEXOLANT_VERSION_STRING);
      } else {
        PrintHelp();
      }
      *done = true;
      return 0;
    }
    std::string value;
    const size_t equals = arg.find('=');
    const bool inlineValue = arg.starts_with("--") && equals != std::string::npos;
    if (inlineValue) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
    }
    const OptionSpec* spec = FindOption(arg);
    std::string error;
    if (spec == nullptr) {
      error = "unknown option " + arg;
    } else if (!inlineValue && i + 1 >= argc) {
      error = arg + " needs a value";
    } else if (!spec->apply(*options, inlineValue ? value : argv[++i], &error)) {
      // error set by the option
    }
    if (!error.empty()) {
      std::fprintf(stderr, "vexolant-sim: %s\nTry 'vexolant-sim --help'.\n", error.c_str());
      return 2;
    }
  }
  return 0;
}

int g_stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(g_stopPipe[1], &byte, 1);
}

bool InstallStopSignals() {
  if (pipe(g_stopPipe) != 0) return false;
  for (const int fd : g_stopPipe) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  std::signal(SIGPIPE, SIG_IGN);
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

bool WritePortFile(const std::string& path, const std::string& device) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fprintf(file, "%s\n", device.c_str()) > 0;
  return std::fclose(file) == 0 && written;
}

void LogStart(const Session& s) {
  const Bytes frame = BuildFrame(s.printer.status, 0x03, false);
  LogLine(s.log, "note",
          "vexolant-sim " VEXOLANT_VERSION_STRING " on " + s.line.path + "; status frame " +
              Describe(frame, true) + "; " + std::to_string(s.printer.rules.size()) + " rule(s)");
  for (const Rule& rule : s.printer.rules) LogLine(s.log, "note", "rule \"" + rule.source + "\"");
}

int Fatal(const std::string& message) {
  std::fprintf(stderr, "vexolant-sim: %s\n", message.c_str());
  return 1;
}

// Listens on HOST:PORT; the socket, or -1 with *error set. *name is the port
// name a client opens.
int Listen(const Options& o, std::string* name, std::string* error) {
  const size_t colon = o.tcp.rfind(':');
  std::string host = o.tcp.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), o.tcp.c_str() + colon + 1, &hints, &found);
      rc != 0) {
    *error = "--tcp " + o.tcp + ": " + gai_strerror(rc);
    return -1;
  }
  const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 8) != 0) {
    *error = "--tcp " + o.tcp + ": " + std::strerror(errno);
    freeaddrinfo(found);
    if (fd >= 0) close(fd);
    return -1;
  }
  const bool six = found->ai_family == AF_INET6;
  freeaddrinfo(found);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  const int port = six ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                       : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  *name = std::string(o.rfc2217 ? "rfc2217://" : "tcp://") + (six ? "[" + host + "]" : host) + ":" +
          std::to_string(port);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return fd;
}

// Serves network clients one after the other until the printer is stopped
// or ends.
int ServeClients(Session& session) {
  for (;;) {
    pollfd fds[2] = {{session.listener, POLLIN, 0}, {session.stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents != 0) {
      LogLine(session.log, "note", "stopped");
      return 0;
    }
    const int fd = accept(session.listener, nullptr, nullptr);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    LogLine(session.log, "note", "a client connected");
    session.line.master = fd;
    session.telnet.decoder = TelnetDecoder{};
    std::fill(std::begin(session.telnet.usOn), std::end(session.telnet.usOn), 0);
    std::fill(std::begin(session.telnet.himOn), std::end(session.telnet.himOn), 0);
    const int status = Serve(session);
    if (session.line.master >= 0) close(session.line.master);
    session.line.master = -1;
    if (status != kClientLeft) return status;
  }
}

}  // namespace

}  // namespace vexolant::sim

using namespace vexolant::sim;

int main(int argc, char** argv) {
  Options options;
  bool done = false;
  if (const int status = ParseOptions(argc, argv, &options, &done); status != 0 || done) {
    return status;
  }
  Session session;
  session.printer = options.printer;
  session.exchanges = options.exchanges;
  if (!options.logFile.empty()) {
    session.log.file = std::fopen(options.logFile.c_str(), "w");
    if (session.log.file == nullptr) return Fatal("cannot write the log " + options.logFile);
  }
  if (!InstallStopSignals()) return Fatal("cannot install the signal handlers");
  session.stopFd = g_stopPipe[0];
  std::string error;
  if (options.rfc2217 && options.tcp.empty()) return Fatal("--rfc2217 needs --tcp");
  session.telnet.on = options.rfc2217;
  session.telnet.silent = options.telnetSilent;
  session.telnet.inject = options.telnetInject;
  if (!options.tcp.empty()) {
    session.listener = Listen(options, &session.line.path, &error);
    if (session.listener < 0) return Fatal(error);
  } else if (!OpenLine(&session.line, &error)) {
    return Fatal(error);
  }
  if (!options.portFile.empty() && !WritePortFile(options.portFile, session.line.path)) {
    CloseLine(session.line);
    return Fatal("cannot write the port file " + options.portFile);
  }
  std::printf("%s\n", session.line.path.c_str());
  std::fflush(stdout);
  LogStart(session);
  const int status = session.listener >= 0 ? ServeClients(session) : Serve(session);
  if (session.listener >= 0) close(session.listener);
  CloseLine(session.line);
  if (session.log.file != stderr) std::fclose(session.log.file);
  return status;
}
