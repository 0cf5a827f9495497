// vexolant-sim: a virtual printer on a pseudo-terminal, for trying and
// testing the tool (or any program that speaks the printer's protocol)
// without a printer.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
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
  if (!OpenLine(&session.line, &error)) return Fatal(error);
  if (!options.portFile.empty() && !WritePortFile(options.portFile, session.line.path)) {
    CloseLine(session.line);
    return Fatal("cannot write the port file " + options.portFile);
  }
  std::printf("%s\n", session.line.path.c_str());
  std::fflush(stdout);
  LogStart(session);
  const int status = Serve(session);
  CloseLine(session.line);
  if (session.log.file != stderr) std::fclose(session.log.file);
  return status;
}
