// The virtual printer: its rule syntax, frame assembly and protocol model as
// plain functions, then the real vexolant-sim on a pseudo-terminal, driven
// from the tool's side with plain POSIX I/O.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "link/frame.h"
#include "sim/printer.h"
#include "sim/rules.h"
#include "sim/wire.h"
#include "vexolant/version.h"

using namespace vexolant;
using namespace vexolant::sim;

extern char** environ;

namespace {

// A script in a compact form: the steps, then the fields that are set.
std::string Summary(const Script& s) {
  std::string out;
  const auto add = [&out](const char* label, const std::string& value) {
    out += label;
    out += value;
  };
  for (const Step& step : s.steps) {
    if (!out.empty()) out += ' ';
    out += AnswerName(step.answer);
    if (step.count > 0) add("*", std::to_string(step.count));
  }
  if (!s.status.empty()) add(" status=", Describe(s.status, false));
  if (!s.raw.empty()) add(" raw=", Describe(s.raw, false));
  if (s.blocks > 0) add(" blocks=", std::to_string(s.blocks));
  for (const std::string& t : s.texts) {
    add(" [", Describe(Bytes(t.begin(), t.end()), false));
    out += ']';
  }
  if (s.wrongCheck > 0) add(" badlrc=", std::to_string(s.wrongCheck));
  if (s.pacing.pieceSize > 0) {
    add(" split=", std::to_string(s.pacing.pieceSize));
    add("/", std::to_string(s.pacing.gapMs));
  }
  if (s.pacing.delayMs > 0) add(" delay=", std::to_string(s.pacing.delayMs));
  if (s.stopAfter >= 0) add(" stop=", std::to_string(s.stopAfter));
  if (s.hangupAfter >= 0) add(" hangup=", std::to_string(s.hangupAfter));
  if (s.lastEtb) out += " etb";
  return out;
}

TEST(SimRules, ParsesSteps) {
  struct Case {
    const char* steps;
    bool enq;
    const char* expected;
  } cases[] = {
      {"", false, "ack"},
      {"", true, "status"},
      {"nak:2", false, "nak*2 ack"},
      {"nak:2", true, "nak*2 status"},
      {"silent:1, nak", false, "silent*1 nak"},
      {"refuse:4060", false, "refuse status=@`"},
      {"refuse:40 00 00 00 00 00", false, "refuse status=@<0x00><0x00><0x00><0x00><0x00>"},
      {"garbage:41ff", false, "garbage raw=A<0xFF>"},
      {"badlrc", false, "status badlrc=1"},
      {"badlrc:2,report:3:Line %d|Total, all", false,
       "report blocks=3 [Line %d] [Total, all] badlrc=2"},
      {"split:4:30,block:a\\|b\\r\\n\\x7e", false, "block [a|b<CR><LF>~] split=4/30"},
      {"hangup:0,etb,refuse", false, "refuse hangup=0 etb"},
      {"stop:2,report:3:x", false, "report blocks=3 [x] stop=2"},
      {"block:", false, "block []"},
      {"drip:4500,block:x", false, "block [x] split=1/4500"},
      {"delay:200, nak:1", false, "nak*1 ack delay=200"},
      {"delay:0,drip:0", false, "ack split=1/0"},
  };
  for (const Case& c : cases) {
    Script script;
    std::string error;
    EXPECT_TRUE(ParseScript(c.steps, c.enq, &script, &error)) << c.steps << ": " << error;
    EXPECT_EQ(Summary(script), c.expected) << c.steps;
  }
}

TEST(SimRules, RejectsBadSteps) {
  struct Case {
    const char* steps;
    const char* error;
  } cases[] = {
      {"foo", "unknown step \"foo\""},
      {"ack,nak", "\"ack\" is already given"},
      {"nak,nak:1", "\"nak\" is already given"},
      {"nak:0", "not a number from 1"},
      {"status:404", "2 or 6 hex bytes"},
      {"garbage:", "garbage: give the bytes"},
      {"report:x:y", "\"x\" is not a number"},
      {"report:3", "report:COUNT:TEXT"},
      {"split:4", "takes 2 argument(s)"},
      {"drip", "takes 1 argument(s)"},
      {"drip:1:2", "takes 1 argument(s)"},
      {"delay:-1", "delay: \"-1\" is not a number from 0 to 60000"},
      {"delay:60001", "not a number from 0 to 60000"},
      {"stop:1", "only refuse and report"},
      {"hangup:2,report:2:x", "sends only 2 frame(s)"},
      {"badlrc:2,block:x", "sends 1 frame(s)"},
      {"etb,ack", "sends no frame"},
      {"block:a\\q", "unknown escape \\q"},
      {"block:a\\", "a backslash ends the text"},
  };
  for (const Case& c : cases) {
    Script script;
    std::string error;
    EXPECT_FALSE(ParseScript(c.steps, false, &script, &error)) << c.steps;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.steps << ": " << error;
  }
}

TEST(SimRules, RuleFile) {
  const std::string text =
      "# scenario\r\n"
      "\n"
      "  <ENQ>=nak:1\r\n"
      "Z=refuse:4060\n"
      "broken\n"
      "I0X=report:2:Header # not a comment\n"
      "Q=nak:zero\n"
      "\\x3D=ack";
  std::vector<std::string> errors;
  const std::vector<Rule> rules = ParseRuleFile(text, &errors);
  ASSERT_EQ(rules.size(), 4u);
  EXPECT_TRUE(rules[0].enq);
  EXPECT_EQ(rules[1].prefix, "Z");
  EXPECT_EQ(rules[2].script.texts, std::vector<std::string>{"Header # not a comment"});
  EXPECT_EQ(rules[3].prefix, "=");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "5: expected PREFIX=STEPS");
  EXPECT_EQ(errors[1].substr(0, 3), "7: ");
}

TEST(SimRules, ExampleFileParses) {
  std::ifstream file(VEXOLANT_SIM_EXAMPLE);
  std::stringstream text;
  text << file.rdbuf();
  std::vector<std::string> errors;
  EXPECT_EQ(ParseRuleFile(text.str(), &errors).size(), 4u);
  EXPECT_EQ(errors, std::vector<std::string>{});
}

TEST(SimRules, FirstMatchingPrefixWins) {
  std::vector<Rule> rules(4);
  const char* lines[] = {"<ENQ>=silent", "AB=nak", "A=ack", "=refuse"};
  for (size_t i = 0; i < 4; ++i) {
    std::string error;
    ASSERT_TRUE(ParseRule(lines[i], &rules[i], &error)) << error;
  }
  EXPECT_EQ(MatchRule(rules, true, ""), 0);
  EXPECT_EQ(MatchRule(rules, false, "ABC"), 1);
  EXPECT_EQ(MatchRule(rules, false, "AC"), 2);
  EXPECT_EQ(MatchRule(rules, false, "B"), 3);
  EXPECT_EQ(MatchRule(rules, false, ""), 3);
  rules.pop_back();
  EXPECT_EQ(MatchRule(rules, false, "B"), -1);
}

TEST(SimRules, ScriptStartsOverAfterAnAnswerThatEndsTheExchange) {
  struct Case {
    const char* steps;
    std::vector<Answer> tries;
  } cases[] = {
      {"nak:2", {Answer::Nak, Answer::Nak, Answer::Ack, Answer::Nak, Answer::Nak, Answer::Ack}},
      {"silent:1,nak", {Answer::Silent, Answer::Nak, Answer::Nak, Answer::Nak}},
      {"nak:1,silent:1,refuse", {Answer::Nak, Answer::Silent, Answer::Refuse, Answer::Nak}},
  };
  for (const Case& c : cases) {
    Rule rule;
    std::string error;
    ASSERT_TRUE(ParseScript(c.steps, false, &rule.script, &error)) << error;
    for (size_t i = 0; i < c.tries.size(); ++i) {
      EXPECT_EQ(NextAnswer(rule), c.tries[i]) << c.steps << " try " << i + 1;
    }
  }
}

TEST(SimRules, BlockTextsNumberAndRepeat) {
  Script s;
  std::string error;
  ASSERT_TRUE(ParseScript("report:4:Head|Line %d of 100%%", false, &s, &error)) << error;
  EXPECT_EQ(BlockText(s, 1), "Head");
  EXPECT_EQ(BlockText(s, 2), "Line 2 of 100%");
  EXPECT_EQ(BlockText(s, 4), "Line 4 of 100%");
}

std::vector<std::string> Assembled(const Bytes& input) {
  Assembler a;
  std::vector<std::string> events;
  for (const uint8_t b : input) {
    const Received r = Push(a, b);
    if (r.kind == Received::Control) events.push_back("byte " + Describe(r.bytes, false));
    if (r.kind == Received::Frame) events.push_back("frame " + Describe(r.bytes, true));
  }
  if (MidFrame(a)) events.push_back("partial " + Describe(DropPartial(a), false));
  return events;
}

TEST(SimWire, FrameIsCompleteWithTheByteAfterItsTerminator) {
  using V = std::vector<std::string>;
  struct Case {
    Bytes input;
    V events;
  } cases[] = {
      {{0x05, 0x06, 0x41}, {"byte <ENQ>", "byte <ACK>", "byte A"}},
      {{0x02, 'a', 'b', 'c', 0x03, 0x63, 0x05}, {"frame <STX>abc<ETX><LRC 0x63>", "byte <ENQ>"}},
      {{0x02, 0x03, 0x03, 0x02, 'x', 0x17, 0x6F},
       {"frame <STX><ETX><LRC 0x03>", "frame <STX>x<ETB><LRC 0x6F>"}},
      {{0x02, 0x02, 0x05, 0x03, 0x06}, {"frame <STX><STX><ENQ><ETX><LRC 0x06>"}},
      {{0x02, 'a', 'b'}, {"partial <STX>ab"}},
      {{0x02, 'a', 0x03}, {"partial <STX>a<ETX>"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Assembled(c.input), c.events) << Describe(c.input, false);
  }
}

TEST(SimWire, OverlongFrameIsDropped) {
  Assembler a;
  Received last;
  last = Push(a, ASCII_STX);
  for (size_t i = 1; i < kMaxReceivedFrame && last.kind == Received::None; ++i) last = Push(a, 'x');
  EXPECT_EQ(last.kind, Received::Overflow);
  EXPECT_FALSE(MidFrame(a));
}

TEST(SimWire, FramesAndTheirReadableForm) {
  EXPECT_EQ(BuildFrame({0x40, 0x40}, ASCII_ETX, false), Bytes({0x02, 0x40, 0x40, 0x03, 0x03}));
  EXPECT_EQ(BuildFrame({0x40, 0x40}, ASCII_ETX, true), Bytes({0x02, 0x40, 0x40, 0x03, 0xFC}));
  const Bytes block = BuildFrame({'A'}, ASCII_ETB, false);
  EXPECT_EQ(IsValidReply(block.data(), static_cast<uint32_t>(block.size())), 1);
  EXPECT_TRUE(IsGoodFrame({0x02, 0x03, 0x03}));
  EXPECT_FALSE(IsGoodFrame({0x02, 'a', 0x03, 0x63}));
  EXPECT_FALSE(IsGoodFrame({0x02, 0x03}));
  EXPECT_EQ(Describe({0x02, 'a', '<', 0x0D, 0x0A, 0x1B, 0x03, 0x7F}, true),
            "<STX>a<0x3C><CR><LF><0x1B><ETX><LRC 0x7F>");
  EXPECT_EQ(Describe({0x15}, true), "<NAK>");
  Bytes bytes;
  EXPECT_TRUE(ParseHex("40 4a", &bytes));
  EXPECT_EQ(bytes, Bytes({0x40, 0x4A}));
  EXPECT_FALSE(ParseHex("404", &bytes));
  EXPECT_FALSE(ParseHex("4g", &bytes));
}

Bytes Block(const std::string& text, uint8_t terminator) {
  return BuildFrame(Bytes(text.begin(), text.end()), terminator, false);
}

Bytes Command(const std::string& text) {
  return Block(text, ASCII_ETX);
}

Printer WithRules(std::initializer_list<const char*> lines) {
  Printer p;
  for (const char* line : lines) {
    Rule rule;
    std::string error;
    EXPECT_TRUE(ParseRule(line, &rule, &error)) << line << ": " << error;
    p.rules.push_back(rule);
  }
  return p;
}

std::string Sent(const Reply& reply) {
  std::string text = reply.hangup ? "hangup" : "";
  for (const Outgoing& out : reply.sends) text += Describe(out.bytes, out.frame);
  return text;
}

TEST(SimPrinter, AnswersLikeAHealthyPrinter) {
  Printer p;
  EXPECT_EQ(Sent(OnEnquiry(p)), "<STX>@@<ETX><LRC 0x03>");
  EXPECT_EQ(Sent(OnFrame(p, {0x02, 'a', 'b', 'c', 0x03, 0x63})), "<ACK>");
  const Reply bad = OnFrame(p, {0x02, 'a', 'b', 'c', 0x03, 0x62});
  EXPECT_EQ(Sent(bad), "<NAK>");
  EXPECT_EQ(bad.note, "wrong check byte, 0x63 expected");
  p.status = {0x40, 0, 0, 0, 0, 0x01};
  EXPECT_EQ(OnEnquiry(p).sends[0].bytes.size(), 9u);
}

TEST(SimPrinter, ChainsWaitForTheToolsAck) {
  struct Case {
    const char* rule;
    std::vector<std::string> afterAcks;  // what the command, then each ACK, brings
  } cases[] = {
      {"R=report:2:L%d", {"<ENQ>", "<STX>L1<ETB><LRC 0x6A>", "<STX>L2<ETX><LRC 0x7D>", ""}},
      {"R=refuse:4060", {"<ENQ>", "<STX>@`<ETX><LRC 0x23>", ""}},
      {"R=etb,report:1:L", {"<ENQ>", "<STX>L<ETB><LRC 0x5B>", ""}},
      {"R=badlrc:2,report:2:L", {"<ENQ>", "<STX>L<ETB><LRC 0x5B>", "<STX>L<ETX><LRC 0xB0>"}},
      {"R=stop:1,report:3:L", {"<ENQ>", "<STX>L<ETB><LRC 0x5B>", "", ""}},
      {"R=hangup:1,report:3:L", {"<ENQ>", "<STX>L<ETB><LRC 0x5B>", "hangup", ""}},
      {"R=stop:0,refuse", {"<ENQ>", "", ""}},
  };
  for (const Case& c : cases) {
    Printer p = WithRules({c.rule});
    EXPECT_EQ(Sent(OnFrame(p, BuildFrame({'R'}, ASCII_ETX, false))), c.afterAcks[0]) << c.rule;
    for (size_t i = 1; i < c.afterAcks.size(); ++i) {
      EXPECT_EQ(Sent(OnAck(p)), c.afterAcks[i]) << c.rule << " ACK " << i;
    }
    EXPECT_FALSE(AwaitingAck(p)) << c.rule;
  }
}

TEST(SimPrinter, PacingCoversEveryAnswerOfTheRule) {
  Printer p = WithRules({"R=delay:200,drip:5,report:2:x", "N=delay:30,nak:1"});
  const auto pacing = [](const Reply& r) {
    return std::to_string(r.pacing.delayMs) + "/" + std::to_string(r.pacing.pieceSize) + "/" +
           std::to_string(r.pacing.gapMs);
  };
  EXPECT_EQ(pacing(OnFrame(p, Command("R"))), "200/1/5") << "the ENQ";
  EXPECT_EQ(pacing(OnAck(p)), "200/1/5") << "block 1";
  EXPECT_EQ(pacing(OnAck(p)), "200/1/5") << "block 2";
  EXPECT_EQ(pacing(OnFrame(p, Command("N"))), "30/0/0") << "the NAK";
  EXPECT_EQ(pacing(OnFrame(p, Command("N"))), "30/0/0") << "the ACK";
  EXPECT_EQ(pacing(OnFrame(p, Command("A"))), "0/0/0") << "no rule";
  EXPECT_EQ(pacing(OnEnquiry(p)), "0/0/0") << "no rule";
}

TEST(SimPrinter, ReportOfAHundredBlocks) {
  const std::string text(40, 'r');
  Printer p = WithRules({("R=report:100:" + text).c_str()});
  EXPECT_EQ(Sent(OnFrame(p, Command("R"))), "<ENQ>");
  for (int block = 1; block <= 100; ++block) {
    const Reply reply = OnAck(p);
    ASSERT_EQ(reply.sends.size(), 1u) << "block " << block;
    EXPECT_EQ(reply.sends[0].bytes, Block(text, block < 100 ? ASCII_ETB : ASCII_ETX))
        << "block " << block;
  }
  EXPECT_FALSE(AwaitingAck(p));
}

TEST(SimPrinter, NewRequestDropsAnUnfinishedChain) {
  Printer p = WithRules({"R=report:3:L"});
  OnFrame(p, BuildFrame({'R'}, ASCII_ETX, false));
  OnAck(p);
  const Reply reply = OnEnquiry(p);
  EXPECT_EQ(Sent(reply), "<STX>@@<ETX><LRC 0x03>");
  EXPECT_NE(reply.note.find("dropped"), std::string::npos);
  EXPECT_EQ(Sent(OnAck(p)), "");
}

// --- the real program on a pseudo-terminal ---------------------------------

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string TempPath(const char* name) {
  return testing::TempDir() + "/" + name + "." + std::to_string(getpid());
}

class SimProcess : public testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    logPath_ = TempPath("sim.log");
    args.insert(args.begin(), {VEXOLANT_SIM_PATH, "--log", logPath_});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    ASSERT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
    path_ = ReadLine(stdout_);
    ASSERT_EQ(path_.rfind("/dev/", 0), 0u) << path_;
  }

  void TearDown() override {
    if (pid_ > 0) Stop();
    if (stdout_ >= 0) close(stdout_);
    std::remove(logPath_.c_str());
  }

  int Stop() {
    kill(pid_, SIGTERM);
    return Wait();
  }

  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  static std::string ReadLine(int fd) {
    std::string line;
    char c;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 5000) == 1 && read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // Opens the device as the tool does: raw, one run.
  int OpenPort() const {
    const int fd = open(path_.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0) << path_;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
  }

  // Reads like the tool: waits up to firstMs for a byte, then until 50 ms
  // pass without one.
  static Bytes Read(int fd, int firstMs = 1000) {
    Bytes bytes;
    pollfd p{fd, POLLIN, 0};
    for (int wait = firstMs; poll(&p, 1, wait) == 1; wait = 50) {
      uint8_t buffer[64];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }

  static Bytes Exchange(int fd, const Bytes& request, int firstMs = 1000) {
    EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    return Read(fd, firstMs);
  }

  struct Logged {
    long long us;  // since the printer started
    std::string text;
  };

  // The log lines of one kind; every line must read "MS.UUU KIND TEXT".
  std::vector<Logged> LogEntries(const char* kind) const {
    std::ifstream file(logPath_);
    std::vector<Logged> lines;
    const std::regex format(R"( *(\d+)\.(\d{3}) (recv|send|note) (.*))");
    for (std::string line; std::getline(file, line);) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, format)) << line;
      if (m.size() == 5 && m[3] == kind) {
        lines.push_back({std::stoll(m[1]) * 1000 + std::stoll(m[2]), m[4]});
      }
    }
    return lines;
  }

  std::vector<std::string> LogLines(const char* kind) const {
    std::vector<std::string> texts;
    for (const Logged& line : LogEntries(kind)) texts.push_back(line.text);
    return texts;
  }

  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string path_;
  std::string logPath_;
};

const Bytes kEnq{ASCII_ENQ};
const Bytes kAck{ASCII_ACK};

TEST_F(SimProcess, AnswersRunAfterRunAndLogsWhatItReceived) {
  const std::string portFile = TempPath("Puerto.dat");
  Start({"--port-file", portFile});
  std::ifstream port(portFile);
  std::string written;
  std::getline(port, written);
  EXPECT_EQ(written, path_);
  std::remove(portFile.c_str());
  Bytes badCommand = Command("abc");
  badCommand.back() ^= 1;
  const struct {
    Bytes request, reply;
  } runs[] = {
      {kEnq, {0x02, 0x40, 0x40, 0x03, 0x03}},
      {Command("abc"), kAck},
      {badCommand, {ASCII_NAK}},
      {{'x', ASCII_ENQ}, {0x02, 0x40, 0x40, 0x03, 0x03}},
  };
  for (const auto& run : runs) {
    const int fd = OpenPort();
    EXPECT_EQ(Exchange(fd, run.request), run.reply) << Describe(run.request, false);
    close(fd);
  }
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(LogLines("recv"),
            (std::vector<std::string>{"<ENQ>", "<STX>abc<ETX><LRC 0x63>", "<STX>abc<ETX><LRC 0x62>",
                                      "x (ignored)", "<ENQ>"}));
  EXPECT_EQ(LogLines("send"), (std::vector<std::string>{"<STX>@@<ETX><LRC 0x03>", "<ACK>", "<NAK>",
                                                        "<STX>@@<ETX><LRC 0x03>"}));
}

TEST_F(SimProcess, RefusalAndReportWaitForTheAck) {
  Start({"--rule", "Z=refuse:4060", "--rule", "R=report:2:Line %d"});
  const int fd = OpenPort();
  EXPECT_EQ(Exchange(fd, Command("Zap")), kEnq);
  EXPECT_EQ(Read(fd, 200), Bytes{}) << "the status frame waits for the ACK";
  EXPECT_EQ(Exchange(fd, kAck), BuildFrame({0x40, 0x60}, ASCII_ETX, false));
  EXPECT_EQ(Exchange(fd, Command("R")), kEnq);
  EXPECT_EQ(Exchange(fd, kAck), Block("Line 1", ASCII_ETB));
  EXPECT_EQ(Read(fd, 200), Bytes{}) << "the second block waits for the ACK";
  EXPECT_EQ(Exchange(fd, kAck), Block("Line 2", ASCII_ETX));
  close(fd);
}

TEST_F(SimProcess, SplitRepliesKeepTheirGaps) {
  Start({"--enq", "split:2:30", "--rule", "S=split:2:80,status"});
  const int fd = OpenPort();
  const auto start = Clock::now();
  EXPECT_EQ(Exchange(fd, kEnq).size(), 5u) << "30 ms gaps stay within one read";
  EXPECT_GE(MsSince(start), 55);
  EXPECT_EQ(Exchange(fd, Command("S")).size(), 2u) << "an 80 ms gap ends the read";
  EXPECT_EQ(Read(fd).size(), 2u);
  EXPECT_EQ(Read(fd).size(), 1u);
  close(fd);
}

// The waits are checked on the printer's own log clock, where they can only
// be longer than asked, however busy the machine.
TEST_F(SimProcess, DelayAndDripPaceEveryAnswer) {
  Start({"--enq", "drip:20", "--rule", "R=delay:150,refuse"});
  const int fd = OpenPort();
  const Bytes status = BuildFrame({0x40, 0x40}, ASCII_ETX, false);
  EXPECT_EQ(write(fd, kEnq.data(), 1), 1);
  Bytes dripped;
  for (int read = 0; read < 5 && dripped.size() < status.size(); ++read) {
    const Bytes got = Read(fd);
    dripped.insert(dripped.end(), got.begin(), got.end());
  }
  EXPECT_EQ(dripped, status);
  EXPECT_EQ(Exchange(fd, Command("R")), kEnq);
  EXPECT_EQ(Exchange(fd, kAck), status);
  close(fd);
  EXPECT_EQ(Stop(), 0);
  const std::vector<Logged> recv = LogEntries("recv");
  const std::vector<Logged> sent = LogEntries("send");
  ASSERT_EQ(recv.size(), 3u);
  ASSERT_EQ(sent.size(), 7u) << "five pieces of the status frame, ENQ, status frame";
  const char* pieces[] = {"<STX>", "@", "@", "<ETX>", "<LRC 0x03>"};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(sent[i].text, pieces[i]);
  for (size_t i = 1; i < 5; ++i) EXPECT_GE(sent[i].us - sent[i - 1].us, 20000) << "piece " << i;
  EXPECT_GE(sent[5].us - recv[1].us, 150000) << "the ENQ waits after the command";
  EXPECT_GE(sent[6].us - recv[2].us, 150000) << "the status frame waits after the ACK";
}

TEST_F(SimProcess, EndsAfterTheExchangesOnceTheLineIsClosed) {
  Start({"--exchanges", "2", "--enq", "nak:1"});
  const int fd = OpenPort();
  EXPECT_EQ(Exchange(fd, kEnq), Bytes{ASCII_NAK});
  EXPECT_EQ(Exchange(fd, kEnq).size(), 5u);
  EXPECT_EQ(Exchange(fd, kEnq, 200), Bytes{}) << "not answered after the last exchange";
  close(fd);
  EXPECT_EQ(Wait(), 0);
}

TEST(SimProgram, VersionNamesTheProjectVersionAndTheBackend) {
  FILE* pipe = popen("'" VEXOLANT_SIM_PATH "' --version", "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[128];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(out, "vexolant-sim " VEXOLANT_VERSION_STRING " (posix)\n");
}

TEST_F(SimProcess, HangupClosesTheLine) {
  Start({"--rule", "R=hangup:1,report:2:x"});
  const int fd = OpenPort();
  EXPECT_EQ(Exchange(fd, Command("R")), kEnq);
  EXPECT_EQ(Exchange(fd, kAck).size(), 4u);
  EXPECT_EQ(write(fd, kAck.data(), 1), 1);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  close(fd);
  EXPECT_EQ(Wait(), 0);
}

}  // namespace
