#include "app/dispatcher.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/home.h"
#include "app/report.h"
#include "fake_port.h"
#include "platform/os_error.h"
#include "test_env.h"
#include "vexolant/version.h"

using namespace vexolant;

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(SplitRequest, WordAndArgument) {
  struct Case {
    const char* text;
    const char* word;
    const char* argument;  // nullptr: absent
  } cases[] = {
      {"SendCmd(abc)", "SendCmd", "abc"},
      {"SendCmd(a b c)", "SendCmd", "a b c"},
      {"SendCmd", "SendCmd", nullptr},
      {"SendCmd()", "SendCmd", nullptr},
      {"SendCmd(", "SendCmd", nullptr},
      {"SendCmd(abc", "SendCmd", "abc"},  // no closing parenthesis needed
      {"SendCmd(a(b)c)", "SendCmd", "a"},
      {"(ReadFpStatus)", "ReadFpStatus", nullptr},
      {"((X((y)))z", "X", "y"},
      {"SendCmd)abc(", "SendCmd", "abc"},
      {"SendFileCmd(C:/dir/cmds.txt)", "SendFileCmd", "C:/dir/cmds.txt"},
      {"", "", nullptr},
      {"()", "", nullptr},
      {"(()))", "", nullptr},
  };
  for (const Case& c : cases) {
    const Request r = SplitRequest(c.text);
    EXPECT_EQ(r.word, c.word) << c.text;
    EXPECT_EQ(r.argument.has_value(), c.argument != nullptr) << c.text;
    if (c.argument != nullptr && r.argument) {
      EXPECT_EQ(*r.argument, c.argument) << c.text;
    }
  }
}

class HomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::path(::testing::TempDir()) /
            ("vexolant_home_" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(home_);
    SetTestEnv("VEXOLANT_HOME", home_.string().c_str());
  }
  void TearDown() override {
    ClearTestEnv("VEXOLANT_HOME");
    fs::remove_all(home_);
  }
  // Runs the tool with one argument (or none); captures stdout and stderr.
  int Run(const char* argument, FakePort* port = nullptr) {
    FakePort& fake = port != nullptr ? *port : fake_;
    std::vector<const char*> argv{"vexolant"};
    if (argument != nullptr) argv.push_back(argument);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status =
        RunTool(static_cast<int>(argv.size()), argv.data(), fake.Backend(), fake.State());
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
    return status;
  }
  void WritePortFile(const std::string& text) {
    fs::create_directories(home_);
    WriteFile(home_ / "Puerto.dat", text);
  }
  fs::path home_;
  std::string out_, err_;
  FakePort fake_;  // the port every run of the fixture drives
};

TEST_F(HomeTest, PortNameIsTheFirstLineWithoutItsLineEnd) {
  struct Case {
    std::string file;
    std::string name;
  } cases[] = {
      {"COM1\r\n", "COM1"},
      {"COM1\n", "COM1"},
      {"COM1", "COM1"},
      {"/dev/ttyUSB0\nsecond line\n", "/dev/ttyUSB0"},
      {"\\\\.\\COM10\r\n", "\\\\.\\COM10"},
      {" ttyS0 \n", " ttyS0 "},  // nothing else is trimmed
      {std::string(255, 'p') + "\n", std::string(255, 'p')},
      {std::string(300, 'p'), std::string(256, 'p')},  // enough to show it is too long
      {"\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    WritePortFile(c.file);
    std::string name;
    int error = -1;
    EXPECT_EQ(ReadPortName(HomeFile(kPortFileName), &name, &error), 1);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(error, 0);
  }
  std::string name;
  int error = 0;
  EXPECT_EQ(ReadPortName((home_ / "missing.dat").string(), &name, &error), 0);
  EXPECT_EQ(error, ENOENT);
}

// The version line: the project's version and the build's serial backend.
#ifdef _WIN32
constexpr const char* kVersionLine = "vexolant " VEXOLANT_VERSION_STRING " (win32)";
#else
constexpr const char* kVersionLine = "vexolant " VEXOLANT_VERSION_STRING " (posix)";
#endif

TEST_F(HomeTest, MalformedCommandLinesEndWithUsageAndNeverOpenThePort) {
  FakePort& port = fake_;
  WritePortFile("COM1\n");
  EXPECT_EQ(Run(nullptr), 2);
  EXPECT_NE(err_.find("usage:"), std::string::npos);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(Run("()"), 2);
  EXPECT_EQ(Run(""), 2);
  EXPECT_EQ(port.Count(FakeEvent::Open), 0u);

  EXPECT_EQ(Run("--help"), 0);
  EXPECT_NE(out_.find("usage:"), std::string::npos);
  EXPECT_EQ(Run("-h"), 0);
  EXPECT_EQ(Run("--version"), 0);
  EXPECT_EQ(out_.substr(0, out_.find_first_of("\r\n")), kVersionLine);
  EXPECT_EQ(port.Count(FakeEvent::Open), 0u);
}

TEST_F(HomeTest, MissingOrEmptyPortFileEndsLikeAPortThatCannotBeOpened) {
  FakePort& port = fake_;
  EXPECT_EQ(Run("CloseFpctrl"), 0);
  EXPECT_TRUE(fs::is_directory(home_)) << "the working directory is created";
  EXPECT_NE(err_.find("Puerto.dat"), std::string::npos) << err_;
  WritePortFile("\r\n");
  EXPECT_EQ(Run("CloseFpctrl"), 0);
  EXPECT_NE(err_.find("names no port"), std::string::npos) << err_;
  EXPECT_EQ(out_, "");
  EXPECT_EQ(port.Count(FakeEvent::Open), 0u);
  EXPECT_FALSE(fs::exists(home_ / "Status_Error.txt"));
}

// A port this user may not open: the system's error number, and a word of the
// hint that goes with it.
#ifdef _WIN32
constexpr int32_t kPortDenied = 5;  // ERROR_ACCESS_DENIED
constexpr const char* kPortDeniedHint = "another program holds the port";
#else
constexpr int32_t kPortDenied = EACCES;
constexpr const char* kPortDeniedHint = "dialout";
#endif

TEST_F(HomeTest, PortThatCannotBeOpenedLeavesTheResultFileAlone) {
  FakePort& port = fake_;
  port.FailOpen(kPortDenied);
  WritePortFile("ttyS0\n");
  WriteFile(home_ / "Status_Error.txt", "TRUE\t0\t0");
  EXPECT_EQ(Run("ReadFpStatus"), 0);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(ReadFile(home_ / "Status_Error.txt"), "TRUE\t0\t0");
  EXPECT_NE(err_.find("cannot open the port"), std::string::npos) << err_;
  EXPECT_NE(err_.find(kPortDeniedHint), std::string::npos) << "a hint for access denied: " << err_;
}

// The line about a port that does not open holds the library's text for the
// reason; where the OS error is only a near one (a server's answer, a name
// that does not resolve), its misleading text is left out.
TEST_F(HomeTest, APortThatDoesNotOpenIsExplainedByItsReason) {
  struct Case {
    const char* name;
    int32_t error;
    OpenProblem problem;
    const char* inLine;
    bool osText;  // the OS error's text is shown
  } cases[] = {
      {"rfc2217://h:1", EPROTO, OpenProblem::OtherLine, "other line settings", false},
      {"rfc2217://h:1", EPROTONOSUPPORT, OpenProblem::OptionRefused, "COM-PORT-OPTION", false},
      {"tcp://h:1", EHOSTUNREACH, OpenProblem::UnknownHost, "does not resolve", false},
      {"tcp://h:1", EBUSY, OpenProblem::ServerBusy, "serves another client (waited 0 s)", false},
      {"tcp://h:1", ECONNREFUSED, OpenProblem::Refused, "refuses the connection", true},
      {"tcp://h:1", ETIMEDOUT, OpenProblem::TimedOut, "did not answer in time", true},
      {"./ttyUSB9", EIO, OpenProblem::Other, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inLine);
    FakePort port;
    port.FailOpen(c.error, c.problem);
    WritePortFile(std::string(c.name) + "\n");
    SetTestEnv("VEXOLANT_PORT_WAIT", "0");
    EXPECT_EQ(Run("CheckFprinter", &port), 0);
    ClearTestEnv("VEXOLANT_PORT_WAIT");
    EXPECT_EQ(err_.rfind(std::string("vexolant: cannot open the port ") + c.name + ": ", 0), 0u)
        << err_;
    EXPECT_NE(err_.find(c.inLine), std::string::npos) << err_;
    EXPECT_EQ(err_.find(OsErrorText(c.error)) != std::string::npos, c.osText) << err_;
    EXPECT_EQ(err_.find("()"), std::string::npos) << err_;
  }
}

// Nothing but printable ASCII and line ends reaches the terminal.
void ExpectPrintable(const std::string& text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(c == '\n' || (byte >= 0x20 && byte < 0x7F))
        << "byte " << int{byte} << " in " << text;
  }
}

TEST_F(HomeTest, PortNamesThatWouldOpenAnotherDeviceAreRefused) {
  FakePort port;
  for (const std::string& file : {std::string(256, 'p') + "\n", std::string("tty\0S0\n", 7),
                                  std::string("tty\x1b[2JS0\r\n"), std::string("ttyS0\x7f\n")}) {
    SCOPED_TRACE(file);
    WritePortFile(file);
    WriteFile(home_ / "Status_Error.txt", "TRUE\t0\t0");
    EXPECT_EQ(Run("CheckFprinter"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(ReadFile(home_ / "Status_Error.txt"), "TRUE\t0\t0");
    EXPECT_NE(err_.find("cannot open the port"), std::string::npos) << err_;
    ExpectPrintable(err_);
  }
  EXPECT_EQ(port.Count(FakeEvent::Open), 0u);
}

TEST_F(HomeTest, StderrShowsOutsideBytesEscaped) {
  struct Case {
    std::string portFile;
    const char* request;
    int32_t openError;
    const char* shown;
  } cases[] = {
      {"tty\x1b]0;x\x07\n", "CheckFprinter", 0, "tty\\x1b]0;x\\x07"},
      {"tty\xe9\\1\n", "CheckFprinter", kPortDenied, "tty\\xe9\\\\1"},
      {"COM1\n",
       "Read\x9b"
       "2J\x1b[1mStatus",
       0, "Read\\x9b2J\\x1b[1mStatus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    FakePort port;
    port.FailOpen(c.openError);
    WritePortFile(c.portFile);
    Run(c.request, &port);
    EXPECT_NE(err_.find(c.shown), std::string::npos) << err_;
    ExpectPrintable(err_);
  }
}

TEST_F(HomeTest, CloseOpensAndClosesThePortAndReportsNothing) {
  FakePort& port = fake_;
  WritePortFile("COM1\r\n");
  EXPECT_EQ(Run("CloseFpctrl"), 1);
  EXPECT_EQ(port.OpenedName(), "COM1");
  EXPECT_EQ(port.Count(FakeEvent::Open), 1u);
  EXPECT_EQ(port.Count(FakeEvent::Close), 1u);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(out_, "");
  EXPECT_FALSE(fs::exists(home_ / "Status_Error.txt"));
}

TEST_F(HomeTest, UnknownCommandWordOpensThePortAndReportsNothing) {
  FakePort& port = fake_;
  WritePortFile("COM1\n");
  EXPECT_EQ(Run("readfpstatus"), 1);
  EXPECT_EQ(port.Count(FakeEvent::Open), 1u);
  EXPECT_EQ(port.Count(FakeEvent::Write), 0u);
  EXPECT_EQ(out_, "");
  EXPECT_FALSE(fs::exists(home_ / "Status_Error.txt"));
}

TEST_F(HomeTest, ResultIsPrintedAndStored) {
  fs::create_directories(home_);
  struct Case {
    const char* word;
    int32_t status, error;
    const char* console;
    const char* file;
  } cases[] = {
      {"TRUE", 0, 0, "Retorno: TRUE\tStatus: 0\tError: 0\n\n", "TRUE\t0\t0"},
      {"FALSE", 0, 137, "Retorno: FALSE\tStatus: 0\tError: 137\n\n", "FALSE\t0\t137"},
      {"12", 0, 0, "Retorno: 12\tStatus: 0\tError: 0\n\n", "12\t0\t0"},
      {"FALSE", -96, -2147483647 - 1, "Retorno: FALSE\tStatus: -96\tError: -2147483648\n\n",
       "FALSE\t-96\t-2147483648"},
      {"0", 0, 92, "Retorno: 0\tStatus: 0\tError: 92\n\n", "0\t0\t92"},  // shorter than before
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ReportResult(c.word, c.status, c.error), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.console);
    EXPECT_EQ(ReadFile(home_ / "Status_Error.txt"), c.file);
  }
}

TEST_F(HomeTest, UnwritableResultFileIsReportedOnStderrAfterTheConsoleLine) {
  WriteFile(home_, "a file where the working directory should be");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ReportResult("TRUE", 0, 0), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Retorno: TRUE\tStatus: 0\tError: 0\n\n");
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("Status_Error.txt"), std::string::npos);

  SetTestEnv("VEXOLANT_HOME", (home_.string() + "/\x1b[31m").c_str());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ReportResult("TRUE", 0, 0), 0);
  ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/\\x1b[31m/Status_Error.txt"), std::string::npos) << err;
}

}  // namespace
