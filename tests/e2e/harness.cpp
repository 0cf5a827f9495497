#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "../loopback.h"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// --- How the tool is run and where it finds the printer ---------------------

namespace {

std::string Setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::vector<std::string> ToolCommand() {
  std::istringstream words(Setting("VEXOLANT_E2E_TOOL"));
  std::vector<std::string> command{std::istream_iterator<std::string>(words),
                                   std::istream_iterator<std::string>()};
  if (command.empty()) command.push_back(VEXOLANT_TOOL_PATH);
  return command;
}

bool NativeTool() {
  return ToolLineEnd() == "\n";
}

std::string PortNameFor(const std::string& device) {
  const std::string name = Setting("VEXOLANT_E2E_PORT_NAME");
  if (name.empty()) return device;
  if (const std::string link = Setting("VEXOLANT_E2E_PORT_LINK"); !link.empty()) {
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(device, link, ignored);
  }
  return name;
}

bool PortNamesMapped() {
  return !Setting("VEXOLANT_E2E_PORT_NAME").empty();
}

std::string MissingPortName() {
  return NativeTool() ? "ttyVexolantNone0" : "COM199";
}

std::string ToolLineEnd() {
  const std::string program = ToolCommand().back();
  const bool windows = program.size() >= 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
  return windows ? "\r\n" : "\n";
}

std::string LfText(std::string text) {
  const std::string end = ToolLineEnd();
  if (end == "\n") return text;
  std::string lf;
  lf.reserve(text.size());
  size_t from = 0;
  for (size_t at = text.find(end); at != std::string::npos; at = text.find(end, from)) {
    lf.append(text, from, at - from);
    lf += '\n';
    from = at + end.size();
  }
  lf.append(text, from);
  return lf;
}

std::optional<termios> LineSettingsToRestore(const std::string& device) {
  // A printer serving TCP has no device for Wine to change.
  if (NativeTool() || !device.starts_with('/')) return std::nullopt;
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios settings{};
  const bool read = fd >= 0 && tcgetattr(fd, &settings) == 0;
  if (fd >= 0) close(fd);
  if (!read) ADD_FAILURE() << "cannot read the line settings of " << device;
  return read ? std::optional(settings) : std::nullopt;
}

void RestoreLineSettings(const std::string& device, const termios& settings) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || tcsetattr(fd, TCSANOW, &settings) != 0) {
    ADD_FAILURE() << "cannot restore the line settings of " << device;
  }
  if (fd >= 0) close(fd);
}

// --- Processes ---------------------------------------------------------------------

namespace {

long long MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

void SleepMs(long ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

// The environment of this process with the given variables set (replacing
// any earlier value) and the tool's own variables otherwise removed.
std::vector<std::string> Environment(const Env& set) {
  static const std::vector<std::string> kToolVariables = {"VEXOLANT_HOME", "VEXOLANT_TRACE"};
  auto replaced = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('='));
    auto named = [&](const auto& pair) { return pair.first == name; };
    return std::ranges::find(kToolVariables, name) != kToolVariables.end() ||
           std::ranges::find_if(set, named) != set.end();
  };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!replaced(*e)) env.emplace_back(*e);
  }
  for (const auto& [name, value] : set) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts a program with stdin from the given descriptor (-1: /dev/null) and
// stdout and stderr on the given descriptors (-1 keeps this process's).
// Returns the pid, or -1.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> env, int out, int err,
            int in = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) {
    posix_spawn_file_actions_adddup2(&actions, in, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
  if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, 2);
  pid_t pid = -1;
  const std::vector<char*> args = Pointers(argv);
  const std::vector<char*> envp = Pointers(env);
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
  return rc == 0 ? pid : -1;
}

int ExitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : -1;
}

// Waits for the process to end, polling every millisecond so that the end is
// seen promptly; kills it once the deadline has passed. Returns its exit
// status and sets *end to when the end was seen.
int Reap(pid_t pid, Clock::time_point deadline, Clock::time_point* end) {
  int waitStatus = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &waitStatus, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (Clock::now() > deadline) {
      ADD_FAILURE() << "process " << pid << " did not end in time: killed";
      kill(pid, SIGKILL);
      waitpid(pid, &waitStatus, 0);
      break;
    }
    SleepMs(1);
  }
  *end = Clock::now();
  return ExitStatus(waitStatus);
}

// Reads one line from fd, waiting up to limit in all.
std::string ReadLine(int fd, milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  std::string line;
  for (;;) {
    const long long left = MsBetween(Clock::now(), deadline);
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1 || read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  ADD_FAILURE() << "no complete line in time; got \"" << line << "\"";
  return "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::optional<LogEntry> ParseLogLine(const std::string& line) {
  const size_t msStart = line.find_first_not_of(' ');
  const size_t msEnd = line.find(' ', msStart);
  if (msStart == std::string::npos || msEnd == std::string::npos) return std::nullopt;
  const size_t kindEnd = line.find(' ', msEnd + 1);
  if (kindEnd == std::string::npos) return std::nullopt;
  LogEntry entry;
  // The stamp has three decimals (microseconds); the cases work in whole
  // milliseconds.
  const std::string ms = line.substr(msStart, line.find('.', msStart) - msStart);
  if (ms.empty() || ms.size() > msEnd - msStart ||
      ms.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  entry.ms = std::stoll(ms);
  entry.kind = line.substr(msEnd + 1, kindEnd - msEnd - 1);
  entry.text = line.substr(kindEnd + 1);
  return entry;
}

constexpr milliseconds kPrinterStartLimit{10000};
constexpr milliseconds kPrinterStopLimit{10000};

// Stops a server this suite started (the printer, ser2net) with SIGTERM and
// reaps it: its exit status, or -1 when it was not running. *pid becomes -1.
int StopProcess(pid_t* pid) {
  if (*pid < 0) return -1;
  kill(*pid, SIGTERM);
  Clock::time_point ignored;
  const int status = Reap(*pid, Clock::now() + kPrinterStopLimit, &ignored);
  *pid = -1;
  return status;
}

}  // namespace

Printer::Printer(const fs::path& dir, const fs::path& portFile,
                 const std::vector<std::string>& options)
    : logPath_((dir / "printer.log").string()) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
  std::vector<std::string> argv = {VEXOLANT_SIM_PATH, "--log", logPath_, "--port-file",
                                   portFile.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  pid_ = Spawn(argv, Environment({}), pipeFds[1], -1);
  close(pipeFds[1]);
  stdout_ = pipeFds[0];
  if (pid_ < 0) return;
  device_ = ReadLine(stdout_, kPrinterStartLimit);
  lineRead_ = Clock::now();
}

Printer::~Printer() {
  Stop();
  if (stdout_ >= 0) close(stdout_);
}

int Printer::Stop() {
  return StopProcess(&pid_);
}

std::vector<LogEntry> Printer::Log() const {
  std::ifstream file(logPath_);
  std::vector<LogEntry> entries;
  for (std::string line; std::getline(file, line);) {
    std::optional<LogEntry> entry = ParseLogLine(line);
    if (entry) {
      entries.push_back(*entry);
    } else {
      ADD_FAILURE() << "unreadable printer log line: " << line;
    }
  }
  return entries;
}

std::vector<std::string> Printer::Lines(const std::string& kind) const {
  std::vector<std::string> texts;
  for (const LogEntry& e : Log()) {
    if (e.kind == kind) texts.push_back(e.text);
  }
  return texts;
}

// The printer logs its first line right after it has printed the device
// path, so that line's time is (within the pipe's delay) when the path came in.
Clock::time_point Printer::At(long long ms) const {
  const std::vector<LogEntry> log = Log();
  const long long first = log.empty() ? 0 : log.front().ms;
  return lineRead_ + milliseconds(ms - first);
}

bool Printer::AwaitLine(const std::string& kind, const std::string& text,
                        milliseconds limit) const {
  const Clock::time_point deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    for (const LogEntry& e : Log()) {
      if (e.kind == kind && e.text == text) return true;
    }
    SleepMs(5);
  }
  return false;
}

long long ToolRun::Ms() const {
  return MsBetween(start, end);
}

ToolProcess::ToolProcess(const fs::path& dir, const fs::path& home, const std::string& request,
                         const Env& env, const std::string& stdoutPath, int stdinFd)
    : collectOut_(stdoutPath.empty()) {
  static int runs = 0;
  const std::string stem = (dir / ("tool" + std::to_string(++runs))).string();
  outPath_ = collectOut_ ? stem + ".out" : stdoutPath;
  errPath_ = stem + ".err";
  const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<std::string> argv = ToolCommand();
  argv.push_back(request);
  Env all = env;
  all.emplace_back("VEXOLANT_HOME", home.string());
  start_ = Clock::now();
  if (out >= 0 && err >= 0) pid_ = Spawn(argv, Environment(all), out, err, stdinFd);
  if (out >= 0) close(out);
  if (err >= 0) close(err);
}

ToolProcess::ToolProcess(ToolProcess&& other) noexcept
    : outPath_(std::move(other.outPath_)),
      errPath_(std::move(other.errPath_)),
      collectOut_(other.collectOut_),
      pid_(std::exchange(other.pid_, -1)),
      start_(other.start_) {}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) Finish(std::chrono::seconds(0));
}

ToolRun ToolProcess::Finish(std::chrono::seconds limit) {
  ToolRun run;
  run.start = start_;
  if (pid_ > 0) run.exitStatus = Reap(pid_, Clock::now() + limit, &run.end);
  pid_ = -1;
  if (collectOut_) run.out = ReadFile(outPath_);
  run.err = ReadFile(errPath_);
  return run;
}

// --- Results and frames ------------------------------------------------------------

std::string ConsoleText(const Result& r) {
  return "Retorno: " + r.word + "\tStatus: " + std::to_string(r.status) +
         "\tError: " + std::to_string(r.error) + ToolLineEnd() + ToolLineEnd();
}

std::string ResultLine(const Result& r) {
  return r.word + "\t" + std::to_string(r.status) + "\t" + std::to_string(r.error);
}

std::string Cmd(const std::string& text) {
  unsigned check = 0x03;  // the ETX
  for (const char c : text) check ^= static_cast<unsigned char>(c);
  char lrc[16];
  std::snprintf(lrc, sizeof lrc, "0x%02X", check);
  return "<STX>" + text + "<ETX><LRC " + lrc + ">";
}

// --- Fixture -----------------------------------------------------------------------

namespace {

constexpr const char* kPortFile = "Puerto.dat";
constexpr const char* kResultFile = "Status_Error.txt";

fs::path MakeCaseDir() {
  std::string pattern = testing::TempDir() + "vexolant_e2e_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return fs::temp_directory_path();
  }
  return pattern;
}

}  // namespace

// --- Network ports -------------------------------------------------------------

std::string NetworkScheme() {
  return Setting("VEXOLANT_E2E_NETWORK");
}

// VEXOLANT_E2E_SER2NET names the program to start (a path that is not there
// runs the suite as on a machine without ser2net); otherwise it is looked for
// where Debian and a source install put it.
std::string Ser2netProgram() {
  if (const char* path = std::getenv("VEXOLANT_E2E_SER2NET")) return path;
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
    const std::string path = std::string(dir) + "ser2net";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

bool Ser2netInstalled() {
  const std::string program = Ser2netProgram();
  return !program.empty() && access(program.c_str(), X_OK) == 0;
}

int FreeTcpPort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int port = BindToFreeLoopbackPort(s);
  if (port == 0) ADD_FAILURE() << "no free port: " << std::strerror(errno);
  close(s);
  return port;
}

std::vector<std::string> AllowingLostFinalAck(std::vector<std::string> received,
                                              const std::vector<std::string>& wanted) {
  if (!NetworkScheme().empty() && !wanted.empty() && wanted.back() == kAck &&
      received.size() + 1 == wanted.size() &&
      std::equal(received.begin(), received.end(), wanted.begin())) {
    received.push_back(kAck);
  }
  return received;
}

namespace {

// True when /proc/net/tcp lists a socket listening on 127.0.0.1:port.
bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

constexpr milliseconds kSer2netStartLimit{10000};

}  // namespace

Ser2net::Ser2net(const fs::path& dir, const std::string& device, int tcpPort, int telnetPort,
                 const std::string& line)
    : tcpPort_(tcpPort != 0 ? tcpPort : FreeTcpPort()),
      telnetPort_(telnetPort != 0 ? telnetPort : FreeTcpPort()),
      outputPath_((dir / "ser2net.out").string()) {
  const std::string config = (dir / "ser2net.yaml").string();
  std::ofstream(config) << "%YAML 1.1\n---\n"
                        << "connection: &raw\n"
                        << "  accepter: tcp,127.0.0.1," << tcpPort_ << "\n"
                        << "  connector: serialdev," << device << "," << line << ",local\n"
                        << "connection: &rfc2217\n"
                        << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort_ << "\n"
                        << "  connector: serialdev," << device << "," << line << ",local\n";
  const int out = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = Spawn({Ser2netProgram(), "-n", "-d", "-u", "-c", config}, Environment({}), out, out);
  if (out >= 0) close(out);
  if (pid_ < 0) return;
  const Clock::time_point deadline = Clock::now() + kSer2netStartLimit;
  while (Clock::now() < deadline) {
    if (Listening(tcpPort_) && Listening(telnetPort_)) {
      started_ = true;
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    SleepMs(5);
  }
  ADD_FAILURE() << "ser2net did not start listening: " << Output();
}

Ser2net::~Ser2net() {
  Stop();
}

std::string Ser2net::Name(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(scheme == "tcp" ? tcpPort_ : telnetPort_);
}

bool Ser2net::AwaitIdle(const std::string& device, milliseconds limit) const {
  const fs::path fds = "/proc/" + std::to_string(pid_) + "/fd";
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    bool holds = false;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fds, error)) {
      std::error_code ignored;
      if (fs::read_symlink(entry.path(), ignored) == device) holds = true;
    }
    if (!holds) return true;
    if (Clock::now() > deadline) return false;
    SleepMs(2);
  }
}

int Ser2net::Stop() {
  started_ = false;
  return StopProcess(&pid_);
}

std::string Ser2net::Output() const {
  return ReadFile(outputPath_);
}

E2eTest::E2eTest() : dir_(MakeCaseDir()), home_(dir_ / "home") {
  fs::create_directories(home_);
}

E2eTest::~E2eTest() {
  ser2net_.reset();
  printer_.reset();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void E2eTest::StartPrinter(const std::vector<std::string>& options) {
  printer_.emplace(dir_, home_ / kPortFile, options);
  ASSERT_TRUE(printer_->Started()) << "the printer did not start";
  const std::string& device = printer_->Device();
  ASSERT_EQ(ReadHome(kPortFile), device + "\n") << "the printer's port file";
  if (const std::string scheme = NetworkScheme(); !scheme.empty()) {
    ser2net_.reset();
    ser2net_.emplace(dir_, device);
    ASSERT_TRUE(ser2net_->Started()) << "ser2net did not start";
    WriteHome(kPortFile, ser2net_->Name(scheme) + "\n");
    return;
  }
  const std::string name = PortNameFor(device);
  if (name != device) WriteHome(kPortFile, name + "\n");
  lineSettings_ = LineSettingsToRestore(device);
}

void E2eTest::StopPrinter() {
  ASSERT_TRUE(printer_.has_value());
  if (ser2net_) {
    EXPECT_TRUE(ser2net_->AwaitIdle(printer_->Device(), milliseconds(5000)))
        << "ser2net still holds the device";
    ser2net_.reset();
  }
  EXPECT_EQ(printer_->Stop(), 0) << "the printer's exit status";
}

void E2eTest::SetUp() {
  if (!NetworkScheme().empty()) E2E_NEEDS_SER2NET();
}

void E2eTest::TearDown() {
  if (!HasFailure() || !printer_) return;
  std::ostringstream log;
  for (const LogEntry& e : printer_->Log()) log << e.ms << ' ' << e.kind << ' ' << e.text << '\n';
  std::printf("printer log:\n%s", log.str().c_str());
}

ToolRun E2eTest::RunTool(const std::string& request, const Env& env) {
  return StartTool(request, env).Finish();
}

ToolProcess E2eTest::StartTool(const std::string& request, const Env& env,
                               const std::string& stdoutPath, int stdinFd) {
  if (printer_ && lineSettings_) RestoreLineSettings(printer_->Device(), *lineSettings_);
  return ToolProcess(dir_, home_, request, env, stdoutPath, stdinFd);
}

std::string E2eTest::HomePath(const std::string& name) const {
  return (home_ / name).string();
}

std::string E2eTest::ReadHome(const std::string& name) const {
  return ReadFile(HomePath(name));
}

void E2eTest::WriteHome(const std::string& name, const std::string& bytes) const {
  std::ofstream(HomePath(name), std::ios::binary) << bytes;
}

bool E2eTest::HomeHas(const std::string& name) const {
  return fs::exists(HomePath(name));
}

void E2eTest::ExpectReported(const ToolRun& run, const Result& result) const {
  EXPECT_EQ(run.exitStatus, 1) << "after " << run.Ms() << " ms";
  EXPECT_EQ(run.out, ConsoleText(result)) << "stderr: " << run.err;
  EXPECT_EQ(ReadHome(kResultFile), ResultLine(result));
  if (NativeTool()) {
    EXPECT_EQ(run.err, "");
  }
}

void E2eTest::ExpectNotOpened(const ToolRun& run, const std::string& what) const {
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(ReadHome(kResultFile), kEarlierResult) << "the earlier result file";
  EXPECT_NE(run.err.find(what), std::string::npos) << "stderr: " << run.err;
}

// --- Table-driven exchanges ----------------------------------------------------

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name << " (" << c.request << ")";
}

std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

// --- Timing checks -------------------------------------------------------------------

namespace {

void ExpectBetween(long long ms, long long lo, long long hi, const std::string& what) {
  EXPECT_TRUE(ms >= lo && ms <= hi) << what << ": " << ms << " ms, expected " << lo << ".." << hi;
}

long long MsToEnd(const Printer& printer, const LogEntry& entry, const ToolRun& run) {
  return MsBetween(printer.At(entry.ms), run.end);
}

}  // namespace

void ExpectNakPauses(const Printer& printer, const ToolRun& run) {
  const std::vector<LogEntry> log = printer.Log();
  int naks = 0;
  for (auto nak = log.begin(); nak != log.end(); ++nak) {
    if (nak->kind != "send" || nak->text != "<NAK>") continue;
    ++naks;
    const auto next =
        std::find_if(nak + 1, log.end(), [](const LogEntry& e) { return e.kind == "recv"; });
    if (next != log.end()) {
      ExpectBetween(next->ms - nak->ms, 1450, 2200, "from NAK " + std::to_string(naks) + " on");
    } else {
      ExpectBetween(MsToEnd(printer, *nak, run), 30, 1000, "from the last NAK to the end");
    }
  }
  EXPECT_GT(naks, 0) << "no NAK sent";
}

Check RequestsEvery(long long lo, long long hi) {
  return [lo, hi](const Printer& printer, const ToolRun& run) {
    std::vector<LogEntry> requests;
    for (const LogEntry& e : printer.Log()) {
      if (e.kind == "recv") requests.push_back(e);
    }
    ASSERT_FALSE(requests.empty());
    for (size_t i = 1; i < requests.size(); ++i) {
      ExpectBetween(requests[i].ms - requests[i - 1].ms, lo, hi,
                    "request " + std::to_string(i + 1) + " after the one before");
    }
    ExpectBetween(MsToEnd(printer, requests.back(), run), lo, hi, "end after the last request");
  };
}

Check EndsAfterLast(const std::string& kind, long long lo, long long hi) {
  return [kind, lo, hi](const Printer& printer, const ToolRun& run) {
    const std::vector<LogEntry> log = printer.Log();
    const auto last =
        std::find_if(log.rbegin(), log.rend(), [&](const LogEntry& e) { return e.kind == kind; });
    ASSERT_NE(last, log.rend()) << "no " << kind << " line";
    ExpectBetween(MsToEnd(printer, *last, run), lo, hi, "end after the last " + kind);
  };
}

Check SentPieces(std::vector<std::string> pieces) {
  return [pieces = std::move(pieces)](const Printer& printer, const ToolRun&) {
    EXPECT_EQ(printer.Sent(), pieces);
  };
}

}  // namespace e2e
