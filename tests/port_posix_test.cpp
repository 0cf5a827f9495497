// The POSIX serial backend against pseudo-terminal pairs: the port is the
// slave side, and the test plays the printer on the master side.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "link/port.h"
#include "printer/operations.h"

using namespace vexolant;

namespace {

// The port record the tests drive (the platform backend).
Port g_link;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

// CPU time of the calling thread, to tell a blocked wait from a spinning one.
int64_t ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

std::string Text(const uint8_t* bytes, uint32_t count) {
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

std::string AllByteValues() {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  return all;
}

// Runs body in a child process and gives its exit status (-1 when it did not
// exit normally). The child leaves with _exit, so nothing of the test runner
// runs twice.
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child's verdict on an open: 0 when it succeeded, else the OS error.
int OpenVerdict(const std::string& name) {
  int32_t error = 0;
  return PortOpen(&g_link, name.c_str(), &error) == 1 ? 0 : (error == 0 ? 255 : error);
}

// One step of the printer: at atMs after the start it sends bytes, or hangs
// up (closes the master side).
struct Step {
  int atMs;
  std::string bytes;
  bool hangUp = false;
};

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    g_link = Port{};
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0) << std::strerror(errno);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_ = ptsname(master_);
  }

  void TearDown() override {
    Join();
    PortClose(&g_link);
    if (master_ >= 0) close(master_);
  }

  void OpenPort() {
    int32_t error = -1;
    ASSERT_EQ(PortOpen(&g_link, slave_.c_str(), &error), 1) << std::strerror(error);
    ASSERT_EQ(error, 0);
  }

  // Plays the printer's steps in a thread, timed from start.
  void Play(std::vector<Step> steps, Clock::time_point start) {
    sentAt_.assign(steps.size(), Clock::time_point{});
    printer_ = std::thread([this, steps = std::move(steps), start] {
      for (size_t i = 0; i < steps.size(); ++i) {
        std::this_thread::sleep_until(start + milliseconds(steps[i].atMs));
        sentAt_[i] = Clock::now();
        if (steps[i].hangUp) {
          close(master_);
          hungUp_ = true;
          return;
        }
        Send(steps[i].bytes);
      }
    });
  }

  void Join() {
    if (!printer_.joinable()) return;
    printer_.join();
    if (hungUp_) master_ = -1;
  }

  void Send(const std::string& bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // What the printer receives: up to count bytes within timeoutMs.
  std::string Receive(size_t count, int timeoutMs = 1000) const {
    std::string got;
    const auto end = Clock::now() + milliseconds(timeoutMs);
    while (got.size() < count) {
      const auto left = MsBetween(Clock::now(), end);
      pollfd p{master_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buffer[512];
      const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

  // Waits until count bytes wait in the port's input queue.
  bool WaitQueued(int count) const {
    const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    int queued = 0;
    for (int i = 0; i < 1000 && queued < count; ++i) {
      if (ioctl(fd, FIONREAD, &queued) != 0) break;
      if (queued < count) std::this_thread::sleep_for(milliseconds(1));
    }
    close(fd);
    return queued >= count;
  }

  int master_ = -1;
  std::string slave_;
  std::thread printer_;
  std::vector<Clock::time_point> sentAt_;
  bool hungUp_ = false;
};

// --- Read timing ------------------------------------------------------------

TEST_F(PtyPort, OneByteReplyToNineByteReadEndsFiftyMsAfterItArrived) {
  OpenPort();
  uint8_t buffer[9] = {};
  int32_t error = -1;
  const auto start = Clock::now();
  Play({{100, "\x06"}}, start);
  const uint32_t got = PortRead(&g_link, buffer, 9, &error);
  const auto end = Clock::now();
  Join();
  EXPECT_EQ(error, 0);
  ASSERT_EQ(got, 1u);
  EXPECT_EQ(buffer[0], 0x06);
  const int64_t afterReply = MsBetween(sentAt_[0], end);
  EXPECT_GE(afterReply, 45);
  EXPECT_LT(afterReply, 90);  // not 100 ms steps, not the 9 s of a silent line
}

// Reads that end at a whole reply: at once after a lone ACK, NAK or ENQ or a
// frame's check byte, counting bytes an earlier read of the same reply
// brought; other bytes end the read by the gap as usual; a limit ends a
// silent read early.
struct WholeReplyCase {
  const char* name;
  std::vector<Step> steps;
  std::string held;      // bytes of the reply held before the read
  uint32_t limitMs;      // the read's limit
  std::string read;      // what a 9-byte read returns
  int64_t minMs, maxMs;  // its end, after the start
};

class WholeReplyRead : public PtyPort, public ::testing::WithParamInterface<WholeReplyCase> {};

TEST_P(WholeReplyRead, EndsAsSoonAsTheReplyIsWhole) {
  const WholeReplyCase& c = GetParam();
  OpenPort();
  g_link.readEnd = ReadEnd::Complete;
  uint8_t reply[32] = {};
  std::copy(c.held.begin(), c.held.end(), reply);
  int32_t error = -1;
  const auto start = Clock::now();
  Play(c.steps, start);
  const ReadCall call{reply, static_cast<uint32_t>(c.held.size()), 9, c.limitMs};
  const uint32_t got = PortReadCall(&g_link, call, &error);
  const int64_t took = MsBetween(start, Clock::now());
  Join();
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Text(reply + c.held.size(), got), c.read);
  EXPECT_GE(took, c.minMs);
  EXPECT_LT(took, c.maxMs);
}

INSTANTIATE_TEST_SUITE_P(
    PosixPort, WholeReplyRead,
    ::testing::Values(
        WholeReplyCase{"AckLeavesTheStrayByteQueued",
                       {{20, "\x06"}, {60, "x"}},
                       "",
                       kNoReadLimit,
                       "\x06",
                       15,
                       55},
        WholeReplyCase{"FrameEndsAtItsCheckByte",
                       {{20,
                         "\x02"
                         "ab\x03"},
                        {40, "\x60"},
                        {80, "x"}},
                       "",
                       kNoReadLimit,
                       "\x02"
                       "ab\x03\x60",
                       35,
                       75},
        WholeReplyCase{"HeldStartCounts",
                       {{20, "\x03\x60"}},
                       "\x02"
                       "ab",
                       kNoReadLimit,
                       "\x03\x60",
                       15,
                       55},
        WholeReplyCase{"NoWholeReplyEndsByTheGap", {{20, "xy"}}, "", kNoReadLimit, "xy", 65, 110},
        WholeReplyCase{"LimitEndsASilentRead", {}, "", 50, "", 48, 100}),
    [](const ::testing::TestParamInfo<WholeReplyCase>& param) { return param.param.name; });

struct GapCase {
  const char* name;
  std::vector<Step> steps;
  std::string firstRead;   // what a 9-byte read returns
  size_t lastOfFirstRead;  // the step whose bytes end the first read
  std::string secondRead;  // what a following 9-byte read returns
};

void PrintTo(const GapCase& c, std::ostream* os) {
  *os << c.name;
}

class ReadGaps : public PtyPort, public ::testing::WithParamInterface<GapCase> {};

TEST_P(ReadGaps, ReadEndsAtTheFirstGapOverFiftyMs) {
  const GapCase& c = GetParam();
  OpenPort();
  uint8_t buffer[9] = {};
  int32_t error = -1;
  const auto start = Clock::now();
  Play(c.steps, start);
  uint32_t got = PortRead(&g_link, buffer, 9, &error);
  const auto end = Clock::now();
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Text(buffer, got), c.firstRead);
  got = PortRead(&g_link, buffer, 9, &error);
  Join();
  const int64_t afterLast = MsBetween(sentAt_[c.lastOfFirstRead], end);
  EXPECT_GE(afterLast, 45);
  EXPECT_LT(afterLast, 90);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Text(buffer, got), c.secondRead);
}

INSTANTIATE_TEST_SUITE_P(
    PosixPort, ReadGaps,
    ::testing::Values(GapCase{"ThirtyMsGapsKeepTheReadGoing",
                              {{0, "A"}, {30, "B"}, {60, "C"}, {90, "D"}, {500, "E"}},
                              "ABCD",
                              3,
                              "E"},
                      GapCase{
                          "HundredMsGapEndsIt", {{0, "A"}, {30, "B"}, {130, "CD"}}, "AB", 1, "CD"}),
    [](const ::testing::TestParamInfo<GapCase>& param) { return std::string(param.param.name); });

TEST_F(PtyPort, ReadReturnsAsSoonAsTheCountIsIn) {
  OpenPort();
  uint8_t buffer[3] = {};
  int32_t error = -1;

  Send("XYZ");
  ASSERT_TRUE(WaitQueued(3));
  auto start = Clock::now();
  EXPECT_EQ(PortRead(&g_link, buffer, 3, &error), 3u);
  EXPECT_LT(MsBetween(start, Clock::now()), 30);
  EXPECT_EQ(Text(buffer, 3), "XYZ");

  start = Clock::now();
  Play({{50, "1"}, {60, "2"}, {70, "3"}}, start);
  EXPECT_EQ(PortRead(&g_link, buffer, 3, &error), 3u);
  const auto end = Clock::now();
  Join();
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Text(buffer, 3), "123");
  EXPECT_LT(MsBetween(sentAt_[2], end), 35);  // no 50 ms gap wait
}

TEST_F(PtyPort, BytesBeyondTheCountStayForTheNextReadUntilAPurge) {
  OpenPort();
  uint8_t buffer[2] = {};
  int32_t error = -1;
  Send("ABCDE");
  EXPECT_EQ(PortRead(&g_link, buffer, 2, &error), 2u);
  EXPECT_EQ(Text(buffer, 2), "AB");
  EXPECT_EQ(PortRead(&g_link, buffer, 2, &error), 2u);
  EXPECT_EQ(Text(buffer, 2), "CD");
  EXPECT_EQ(error, 0);

  EXPECT_NE(PortPurge(&g_link), 0);  // "E" goes
  Send("Z");
  EXPECT_EQ(PortRead(&g_link, buffer, 1, &error), 1u);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(buffer[0], 'Z');
}

class SilentRead : public PtyPort, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SilentRead, LastsOneSecondPerRequestedByteWithoutSpinning) {
  const uint32_t count = GetParam();
  OpenPort();
  uint8_t buffer[4] = {};
  int32_t error = -1;
  const int64_t cpuBefore = ThreadCpuMs();
  const auto start = Clock::now();
  EXPECT_EQ(PortRead(&g_link, buffer, count, &error), 0u);
  const int64_t elapsed = MsBetween(start, Clock::now());
  EXPECT_EQ(error, 0);
  EXPECT_GE(elapsed, 1000 * static_cast<int64_t>(count) - 5);
  EXPECT_LT(elapsed, 1000 * static_cast<int64_t>(count) + 300);
  EXPECT_LT(ThreadCpuMs() - cpuBefore, 50);
}

INSTANTIATE_TEST_SUITE_P(PosixPort, SilentRead, ::testing::Values(1u, 2u));

TEST(PosixPortPause, BlocksForTheGivenTime) {
  g_link = Port{};
  const auto start = Clock::now();
  Pause(&g_link, 120);
  const int64_t elapsed = MsBetween(start, Clock::now());
  EXPECT_GE(elapsed, 120);
  EXPECT_LT(elapsed, 220);
}

// --- Bytes both ways --------------------------------------------------------

TEST_F(PtyPort, EveryByteValueTravelsUnchangedBothWays) {
  OpenPort();
  const std::string all = AllByteValues();
  int32_t error = -1;
  PortWrite(&g_link, reinterpret_cast<const uint8_t*>(all.data()), 256, &error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Receive(257, 300), all);  // exactly these bytes, nothing added

  Send(all);
  uint8_t buffer[256] = {};
  EXPECT_EQ(PortRead(&g_link, buffer, 256, &error), 256u);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Text(buffer, 256), all);
}

TEST_F(PtyPort, OpenSetsRawLineWithNonBlockingDriverReads) {
  OpenPort();
  const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(t.c_iflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

// --- Opening and closing ----------------------------------------------------

// The second open finds the settings in place but parity, which a
// pseudo-terminal cannot hold; tcsetattr then reports EINVAL and the open
// must accept the port from what it reads back.
TEST_F(PtyPort, OpensInARowOfTheSamePseudoTerminalAllSucceed) {
  OpenPort();
  PortClose(&g_link);
  OpenPort();
  const int descriptors = OpenDescriptors();
  OpenPort();  // without a close in between: the held descriptor is replaced
  EXPECT_EQ(OpenDescriptors(), descriptors);
  int32_t error = -1;
  Send("k");
  uint8_t byte = 0;
  EXPECT_EQ(PortRead(&g_link, &byte, 1, &error), 1u);
  EXPECT_EQ(error, 0);
}

TEST_F(PtyPort, ClosingTwiceIsHarmless) {
  OpenPort();
  const int descriptors = OpenDescriptors();
  PortClose(&g_link);
  EXPECT_EQ(OpenDescriptors(), descriptors - 1);
  // A descriptor that takes the freed number must survive the second close.
  const int spare = dup(master_);
  ASSERT_GE(spare, 0);
  PortClose(&g_link);
  EXPECT_EQ(CloseFpctrl(&g_link), 1);
  EXPECT_NE(fcntl(spare, F_GETFD), -1);
  close(spare);

  int32_t error = 0;
  uint8_t byte = 0;
  EXPECT_EQ(PortRead(&g_link, &byte, 1, &error), 0u);
  EXPECT_EQ(error, EBADF);
  PortWrite(&g_link, &byte, 1, &error);
  EXPECT_EQ(error, EBADF);
  EXPECT_EQ(PortPurge(&g_link), 0);
  EXPECT_EQ(PortLastError(&g_link), EBADF);
}

struct BadName {
  const char* label;
  const char* name;
  int32_t error;
  OpenProblem problem;
};

void PrintTo(const BadName& c, std::ostream* os) {
  *os << c.name;
}

class UnopenablePort : public ::testing::TestWithParam<BadName> {};

TEST_P(UnopenablePort, FailsWithTheOsErrorAndLeavesNoDescriptor) {
  g_link = Port{};
  const int descriptors = OpenDescriptors();
  int32_t error = 0;
  EXPECT_EQ(OpenFpctrl(&g_link, GetParam().name, &error), 0);
  EXPECT_EQ(error, GetParam().error) << std::strerror(error);
  EXPECT_EQ(PortLastError(&g_link), GetParam().error);
  EXPECT_EQ(g_link.openProblem, GetParam().problem);
  EXPECT_EQ(OpenDescriptors(), descriptors);
  uint8_t byte = 0;
  EXPECT_EQ(PortRead(&g_link, &byte, 1, &error), 0u);
  EXPECT_EQ(error, EBADF);  // the port stays closed
}

INSTANTIATE_TEST_SUITE_P(
    PosixPort, UnopenablePort,
    ::testing::Values(BadName{"AbsentPath", "/dev/vexolant-no-such-port", ENOENT,
                              OpenProblem::NoDevice},
                      BadName{"AbsentName", "vexolant-no-such-port", ENOENT, OpenProblem::NoDevice},
                      // /dev/null: found under /dev, but no terminal
                      BadName{"NoTerminal", "null", ENOTTY, OpenProblem::Other}),
    [](const ::testing::TestParamInfo<BadName>& param) { return std::string(param.param.label); });

// The reasons of the errors a device's open fails with, and a word of the
// text that goes with each.
TEST(PosixOpenProblem, ReasonsOfTheOpenErrors) {
  struct Case {
    int32_t error;
    OpenProblem problem;
    const char* inText;
  } cases[] = {
      {ENOENT, OpenProblem::NoDevice, "ttyUSB0"},    {ENODEV, OpenProblem::NoDevice, "ttyUSB0"},
      {ENXIO, OpenProblem::NoDevice, "ttyUSB0"},     {ENOTDIR, OpenProblem::NoDevice, "ttyUSB0"},
      {EACCES, OpenProblem::Permission, "dialout"},  {EPERM, OpenProblem::Permission, "dialout"},
      {EBUSY, OpenProblem::Busy, "another program"}, {ENOTTY, OpenProblem::Other, "error text"},
      {EIO, OpenProblem::Other, "error text"},       {0, OpenProblem::Other, "error text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    const OpenProblem problem = LocalOpenProblem(c.error);
    EXPECT_EQ(problem, c.problem);
    EXPECT_NE(std::string(OpenProblemText(problem)).find(c.inText), std::string::npos)
        << OpenProblemText(problem);
  }
}

TEST(PosixPortDevicePath, NameWithoutSlashIsTakenUnderDev) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"ttyS0", "/dev/ttyS0"},      {"ttyUSB0", "/dev/ttyUSB0"}, {"/dev/ttyACM0", "/dev/ttyACM0"},
      {"/dev/pts/3", "/dev/pts/3"}, {"./printer", "./printer"},
  };
  for (const auto& c : cases) EXPECT_EQ(PortDevicePath(c.name), c.path) << c.name;
}

// --- Exclusive use between processes ---------------------------------------

TEST_F(PtyPort, HeldPortRefusesASecondProcessAndKeepsItsBytes) {
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const std::string slave = slave_;
  // The holder is another process; this one makes the second open.
  const pid_t holder = fork();
  if (holder == 0) {
    if (OpenVerdict(slave) != 0) _exit(1);
    char c = 0;
    if (write(ready[1], &c, 1) != 1 || read(release[0], &c, 1) != 1) _exit(2);
    uint8_t buffer[4] = {};
    int32_t error = 0;
    const uint32_t got = PortRead(&g_link, buffer, 4, &error);
    _exit(error == 0 && Text(buffer, got) == "HOLD" ? 0 : 3);
  }
  ASSERT_GT(holder, 0);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  Send("HOLD");
  ASSERT_TRUE(WaitQueued(4));

  const int descriptors = OpenDescriptors();
  int32_t error = 0;
  EXPECT_EQ(PortOpen(&g_link, slave_.c_str(), &error), 0);
  EXPECT_EQ(error, EBUSY);
  EXPECT_EQ(g_link.openProblem, OpenProblem::Busy);
  EXPECT_EQ(OpenDescriptors(), descriptors);
  const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), -1);  // the lock is what refuses, root included
  EXPECT_EQ(errno, EWOULDBLOCK);
  close(fd);

  ASSERT_EQ(write(release[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: holder could not open, 3: its bytes were lost";
  for (int p : {ready[0], ready[1], release[0], release[1]}) close(p);
}

// Runs end without closing the port. Nothing of such a run may keep a later
// run out, in particular not of a normal user, whom an exclusive flag left on
// the terminal would refuse.
TEST_F(PtyPort, RunEndedWithoutCloseDoesNotKeepTheNextRunOut) {
  ASSERT_EQ(chmod(slave_.c_str(), 0666), 0);
  const std::string slave = slave_;
  EXPECT_EQ(InChild([&] { return OpenVerdict(slave); }), 0);
  EXPECT_EQ(InChild([&] {
              if (geteuid() == 0) {
                const gid_t nogroup = 65534;
                if (setgroups(0, nullptr) != 0 || setgid(nogroup) != 0 || setuid(65534) != 0) {
                  return 254;
                }
              }
              return OpenVerdict(slave);
            }),
            0);
  OpenPort();
#ifdef TIOCGEXCL
  int exclusive = -1;
  const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  close(fd);
#endif
}

// --- A line that is gone ----------------------------------------------------

TEST_F(PtyPort, LineGoneBeforeTheReadIsAnErrorAtOnce) {
  OpenPort();
  close(master_);
  master_ = -1;
  uint8_t buffer[9] = {};
  for (int attempt = 0; attempt < 2; ++attempt) {
    int32_t error = 0;
    const auto start = Clock::now();
    PortRead(&g_link, buffer, 9, &error);
    EXPECT_EQ(error, EIO);
    EXPECT_LT(MsBetween(start, Clock::now()), 100);
  }
  int32_t error = 0;
  PortWrite(&g_link, buffer, 1, &error);
  EXPECT_EQ(error, EIO);
}

TEST_F(PtyPort, LineGoneDuringTheReadEndsItAtOnceWithoutSpinning) {
  OpenPort();
  uint8_t buffer[9] = {};
  int32_t error = 0;
  const int64_t cpuBefore = ThreadCpuMs();
  const auto start = Clock::now();
  Play({{100, "", true}}, start);
  PortRead(&g_link, buffer, 9, &error);
  const auto end = Clock::now();
  Join();
  EXPECT_EQ(error, EIO);
  EXPECT_LT(MsBetween(sentAt_[0], end), 100);
  EXPECT_LT(ThreadCpuMs() - cpuBefore, 50);
}

}  // namespace
