// End-to-end harness: the real vexolant run against the real vexolant-sim on
// a pseudo-terminal, one fresh printer per case, in a working directory of the
// case's own. What the tool printed, wrote and exited with is checked against
// what the printer logged that it received, and when.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using Env = std::vector<std::pair<std::string, std::string>>;

// --- How the tool is run and where it finds the printer ---------------------
// Only these functions know. Another runner (an emulator for the Windows
// build, say) sets VEXOLANT_E2E_TOOL to its command line, such as
// "wine build/windows/src/vexolant.exe", and VEXOLANT_E2E_PORT_NAME to the
// name the tool should open (COM5), with VEXOLANT_E2E_PORT_LINK naming the
// link that maps that name to the printer's device. Cases that only the
// native tool can run skip themselves, with the reason, under such a runner.
// A checker of the native tool (valgrind) is set the same way, without a
// port name.

// The words that start the tool; the request is appended as one more argument.
std::vector<std::string> ToolCommand();
// True when the tool is a program of this system (the binary built here, run
// directly or under a checker such as valgrind), not a Windows program.
bool NativeTool();
// The port name to write into Puerto.dat for the printer's device.
std::string PortNameFor(const std::string& device);
// True when every printer is reached under one port name
// (VEXOLANT_E2E_PORT_NAME, such as COM5 under Wine).
bool PortNamesMapped();
// A port name that names no device.
std::string MissingPortName();
// The line end of the tool's text output: CR LF for a Windows program (a tool
// command that ends in .exe), which writes its console and trace in text
// mode; LF otherwise.
std::string ToolLineEnd();
// Text that the tool wrote, with its line ends made LF.
std::string LfText(std::string text);

// The line settings a device has when its printer starts, and putting them
// back. Wine cannot configure a pseudo-terminal that an earlier run has
// configured (SetCommState fails with error 87), so before each run of a tool
// that is not the native one the device gets its first settings back.
std::optional<termios> LineSettingsToRestore(const std::string& device);
void RestoreLineSettings(const std::string& device, const termios& settings);

// Skips the current case, with the reason, when the tool runs some other way.
#define E2E_NATIVE_ONLY(reason)                                                      \
  do {                                                                               \
    if (!::e2e::NativeTool()) GTEST_SKIP() << "needs the native tool: " << (reason); \
  } while (0)

// --- Network ports ---------------------------------------------------------------
// With VEXOLANT_E2E_NETWORK set to tcp or rfc2217, each case's printer is
// reached through Debian's ser2net, started in front of the printer's device,
// and the tool opens tcp://127.0.0.1:PORT or rfc2217://127.0.0.1:PORT.

// "tcp", "rfc2217", or "" for the printer's device itself.
std::string NetworkScheme();
// The ser2net program the suite starts, or "" when there is none.
std::string Ser2netProgram();
// True when ser2net can be started.
bool Ser2netInstalled();

// Skips the current case when ser2net is not installed, saying how to get
// it. A skip ends only the function that calls it: this stands in a case's
// body or in a fixture's SetUp, never in a helper the body goes on after.
#define E2E_NEEDS_SER2NET()                                                          \
  do {                                                                               \
    if (!::e2e::Ser2netInstalled())                                                  \
      GTEST_SKIP() << "ser2net is not installed (scripts/deps network installs it)"; \
  } while (0)

// Skips the current case, with the reason, when the tool reaches the printer
// through a network port.
#define E2E_LOCAL_PORT_ONLY(reason)                                                          \
  do {                                                                                       \
    if (!::e2e::NetworkScheme().empty()) GTEST_SKIP() << "needs a local port: " << (reason); \
  } while (0)

// ser2net in the foreground on 127.0.0.1, in front of one device: one raw
// tcp accepter and one telnet(rfc2217) accepter, on free ports unless given,
// the device at `line` (such as 9600e81) until a client sets it. Its YAML
// configuration and its output go to files in dir; it is stopped by its pid.
class Ser2net {
 public:
  Ser2net(const std::filesystem::path& dir, const std::string& device, int tcpPort = 0,
          int telnetPort = 0, const std::string& line = "9600e81");
  ~Ser2net();
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  // True once both accepters listen.
  bool Started() const { return started_; }
  int TcpPort() const { return tcpPort_; }
  int TelnetPort() const { return telnetPort_; }
  // tcp://127.0.0.1:PORT or rfc2217://127.0.0.1:PORT.
  std::string Name(const std::string& scheme) const;
  // Waits until it holds the device no more: the client has left and what
  // it sent has been passed on. False after limit.
  bool AwaitIdle(const std::string& device, std::chrono::milliseconds limit) const;
  // Stops it (SIGTERM) and waits for its end; its exit status, -1 when it was
  // not running.
  int Stop();
  std::string Output() const;

 private:
  pid_t pid_ = -1;
  int tcpPort_ = 0;
  int telnetPort_ = 0;
  bool started_ = false;
  std::string outputPath_;
};

// A loopback TCP port on which nothing listens now.
int FreeTcpPort();

// What the printer received, as a case over a network scheme may see it.
// ser2net flushes the device's queues (TCIOFLUSH) when the last client has
// left; on a pseudo-terminal of a loaded machine the tool's last byte of a
// run (the ACK that ends an upload) can still be in the kernel's buffer then,
// and is lost. So under a network scheme a final ACK that `wanted` has and
// `received` lacks is put back; anything else must match as it is.
std::vector<std::string> AllowingLostFinalAck(std::vector<std::string> received,
                                              const std::vector<std::string>& wanted);

// --- The virtual printer --------------------------------------------------------

// One line of the printer's log: milliseconds since it started, recv, send or
// note, and the bytes or the remark in readable form.
struct LogEntry {
  long long ms = 0;
  std::string kind;
  std::string text;
};

class Printer {
 public:
  // Starts vexolant-sim with the case's options; it logs to a file in dir and
  // writes its device path to portFile. Check Started() before use.
  Printer(const std::filesystem::path& dir, const std::filesystem::path& portFile,
          const std::vector<std::string>& options);
  ~Printer();
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  bool Started() const { return !device_.empty(); }
  const std::string& Device() const { return device_; }
  // Stops the printer (SIGTERM) and returns its exit status; -1 when it was
  // not running.
  int Stop();

  std::vector<LogEntry> Log() const;
  // The texts of the log lines of one kind, in order.
  std::vector<std::string> Lines(const std::string& kind) const;
  std::vector<std::string> Received() const { return Lines("recv"); }
  std::vector<std::string> Sent() const { return Lines("send"); }
  // A time in the log on the test's clock.
  Clock::time_point At(long long ms) const;
  // Waits until a log line of the kind and text shows up; false after limit.
  bool AwaitLine(const std::string& kind, const std::string& text,
                 std::chrono::milliseconds limit) const;

 private:
  std::string logPath_;
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string device_;
  Clock::time_point lineRead_;  // when the device path came in
};

// --- The tool ----------------------------------------------------------------------

// One finished run of the tool.
struct ToolRun {
  int exitStatus = -1;  // 128 + signal when it was killed
  std::string out;
  std::string err;
  Clock::time_point start;
  Clock::time_point end;
  long long Ms() const;
};

// A run of the tool in progress, with stdout and stderr going to files in dir
// and VEXOLANT_HOME (and whatever env adds) in its environment. Given a
// stdoutPath, stdout goes there instead and is not collected; given a
// stdinFd, stdin is that descriptor instead of /dev/null.
class ToolProcess {
 public:
  ToolProcess(const std::filesystem::path& dir, const std::filesystem::path& home,
              const std::string& request, const Env& env = {}, const std::string& stdoutPath = "",
              int stdinFd = -1);
  ~ToolProcess();
  ToolProcess(ToolProcess&& other) noexcept;
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  ToolProcess& operator=(ToolProcess&&) = delete;

  // Waits for the end (killing the tool after limit) and collects the run.
  ToolRun Finish(std::chrono::seconds limit = std::chrono::seconds(60));

 private:
  std::string outPath_;
  std::string errPath_;
  bool collectOut_ = true;
  pid_t pid_ = -1;
  Clock::time_point start_;
};

// --- Results and frames ------------------------------------------------------------

// The result triple a reporting run prints and stores.
struct Result {
  std::string word;
  int status = 0;
  int error = 0;
};

// "Retorno: TRUE\tStatus: 0\tError: 0\n\n", with the tool's line ends.
std::string ConsoleText(const Result& result);
// "TRUE\t0\t0", the content of Status_Error.txt.
std::string ResultLine(const Result& result);

// A command frame as the printer's log shows it: <STX>text<ETX><LRC 0xNN>.
// The text is plain printable ASCII without '<'.
std::string Cmd(const std::string& text);
inline const std::string kEnq = "<ENQ>";
inline const std::string kAck = "<ACK>";

// The earlier content the result file holds before a run: longer than any
// result line, so that a file that is not emptied shows.
inline const std::string kEarlierResult = "EARLIER RUN\t-2147483648\t-2147483648";

// --- Fixture -----------------------------------------------------------------------

// A case's own directory: the tool's working directory (VEXOLANT_HOME) in
// home/, the printer's log and the tool's output beside it.
class E2eTest : public testing::Test {
 protected:
  E2eTest();
  ~E2eTest() override;
  // Skips the case when the suite runs over a network scheme without ser2net.
  void SetUp() override;
  // Shows the printer's log when the case failed.
  void TearDown() override;

  // Starts a fresh printer and points the tool at it (through ser2net when
  // the suite runs over a network scheme).
  void StartPrinter(const std::vector<std::string>& options);
  // Stops the printer and expects a clean end.
  void StopPrinter();
  Printer& printer() { return *printer_; }

  ToolRun RunTool(const std::string& request, const Env& env = {});
  ToolProcess StartTool(const std::string& request, const Env& env = {},
                        const std::string& stdoutPath = "", int stdinFd = -1);

  std::string HomeDir() const { return home_.string(); }
  std::string CaseDir() const { return dir_.string(); }
  std::string HomePath(const std::string& name) const;
  std::string ReadHome(const std::string& name) const;
  void WriteHome(const std::string& name, const std::string& bytes) const;
  bool HomeHas(const std::string& name) const;

  // A run that reported: exit status 1, the console text, the result file,
  // and (for the native tool) nothing on stderr.
  void ExpectReported(const ToolRun& run, const Result& result) const;
  // A run that ended before the port was used: exit status 0, nothing on
  // stdout, the earlier result file untouched, stderr naming `what`.
  void ExpectNotOpened(const ToolRun& run, const std::string& what) const;

 private:
  std::filesystem::path dir_;
  std::filesystem::path home_;
  std::optional<Printer> printer_;
  std::optional<Ser2net> ser2net_;
  std::optional<termios> lineSettings_;
};

// --- Table-driven exchanges ----------------------------------------------------

// A file in the working directory: given before a run, or expected after it.
struct HomeFile {
  std::string name;
  std::string bytes;
};

// A further check of a case, with the printer's log and the tool's run.
using Check = std::function<void(const Printer&, const ToolRun&)>;

// One run against one printer: the printer's options, the request ("{home}"
// stands for the working directory), the result triple, what the printer
// received in order, and optionally a file given before the run, a file
// expected after it, and a further check.
struct Case {
  std::string name;
  std::vector<std::string> printer = {};
  std::string request;
  Result result;
  std::vector<std::string> received = {};
  std::optional<HomeFile> input = std::nullopt;
  std::optional<HomeFile> output = std::nullopt;
  Check check = {};
};

void PrintTo(const Case& c, std::ostream* out);
std::string CaseName(const testing::TestParamInfo<Case>& info);

class Exchange : public E2eTest, public testing::WithParamInterface<Case> {};

// --- Timing checks -------------------------------------------------------------------
// Each measures at the printer, on its log's clock, or from a log line to the
// tool's exit.

// Every NAK that another request follows is followed by it about 1560 ms
// later: the read, which starts 10 ms after the request, ends 50 ms after the
// NAK has come in, then the 1500 ms pause. After a NAK that nothing follows,
// the tool ends at once.
void ExpectNakPauses(const Printer& printer, const ToolRun& run);
// Consecutive requests, and the last request and the tool's end, lie lo..hi
// ms apart (silent reads that run out their time-out).
Check RequestsEvery(long long lo, long long hi);
// The tool ends lo..hi ms after the last line of the kind (recv or send).
Check EndsAfterLast(const std::string& kind, long long lo, long long hi);
// The printer sent exactly these pieces.
Check SentPieces(std::vector<std::string> pieces);

}  // namespace e2e
