// The C API's promises beyond the operations themselves, on the scripted fake
// port: options that grow by their size, the OS error behind a 145, no
// exception across the boundary, a trace callback that calls back in, the
// upload bound, the command text from memory, and the named codes and the
// version against the tables and the build.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/console.h"
#include "fake_port.h"
#include "platform/os_error.h"
#include "printer/status_decode.h"
#include "scratch_dir.h"
#include "vexolant/vexolant.h"

using namespace vexolant;

namespace {

// A handle on a fake port, closed at the end.
class FakeHandle {
 public:
  explicit FakeHandle(FakePort* fake, const vexolant_options* options = nullptr,
                      const PortBackend* backend = nullptr) {
    opened_ = OpenOnBackend("ttyFAKE", options, backend != nullptr ? backend : fake->Backend(),
                            fake->State(), &port_);
  }
  ~FakeHandle() { vexolant_close(port_); }
  FakeHandle(const FakeHandle&) = delete;
  FakeHandle& operator=(const FakeHandle&) = delete;
  int32_t opened() const { return opened_; }
  vexolant_port* get() const { return port_; }

 private:
  vexolant_port* port_ = nullptr;
  int32_t opened_ = -1;
};

TEST(ApiOptions, SizeSaysWhichFieldsTheCallerKnows) {
  vexolant_options defaults;
  vexolant_options_init(&defaults);
  EXPECT_EQ(defaults.size, sizeof(vexolant_options));
  EXPECT_EQ(defaults.read_end, VEXOLANT_READ_END_GAP);
  EXPECT_EQ(defaults.busy_wait_ms, 30000);
  EXPECT_EQ(defaults.upload_limit_bytes, 64 * 1024 * 1024);
  EXPECT_EQ(defaults.connect_timeout_ms, 5000);
  EXPECT_EQ(defaults.negotiation_timeout_ms, 3000);

  struct Case {
    const char* name;
    void (*change)(vexolant_options*);
    int32_t opened;  // 0 or the error of a refused open
  } cases[] = {
      {"defaults", [](vexolant_options*) {}, 0},
      {"size below the first fields", [](vexolant_options* o) { o->size = 4; }, EINVAL},
      {"unknown read end", [](vexolant_options* o) { o->read_end = 2; }, EINVAL},
      {"no upload room", [](vexolant_options* o) { o->upload_limit_bytes = 0; }, EINVAL},
      {"negative busy wait", [](vexolant_options* o) { o->busy_wait_ms = -1; }, EINVAL},
      {"no connect time", [](vexolant_options* o) { o->connect_timeout_ms = 0; }, EINVAL},
      {"no negotiation time", [](vexolant_options* o) { o->negotiation_timeout_ms = 0; }, EINVAL},
      // An older caller that knows only size and read_end: the garbage past
      // its size is never read.
      {"fields past the size keep their defaults",
       [](vexolant_options* o) {
         o->size = offsetof(vexolant_options, upload_limit_bytes);
         o->read_end = VEXOLANT_READ_END_COMPLETE;
         o->upload_limit_bytes = -5;
         o->busy_wait_ms = -5;
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vexolant_options options = defaults;
    c.change(&options);
    FakePort fake;
    FakeHandle handle(&fake, &options);
    EXPECT_EQ(handle.opened(), c.opened == 0 ? 0 : InvalidArgumentError());
    EXPECT_EQ(fake.IsOpen(), c.opened == 0);
  }
}

TEST(ApiOptions, ReadEndAndUploadLimitReachThePort) {
  // Three blocks of "Line n" (8 bytes a line with CR LF): room for two.
  vexolant_options options;
  vexolant_options_init(&options);
  options.read_end = VEXOLANT_READ_END_COMPLETE;
  options.upload_limit_bytes = 16;
  FakePort fake;
  fake.Reply(Bytes({0x05}))
      .Reply(Frame("Line 1", 0x17))
      .Reply(Frame("Line 2", 0x17))
      .Reply(Frame("Line 3"));
  FakeHandle handle(&fake, &options);
  ASSERT_EQ(handle.opened(), 0);
  ScratchDir dir;
  const std::string path = dir.File("report.txt");
  int32_t status = -7;
  int32_t error = -7;
  EXPECT_EQ(vexolant_upload_report(handle.get(), "R", path.c_str(), &status, &error), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(error, VEXOLANT_ERR_UPLOAD_LIMIT);
  EXPECT_EQ(ReadBytes(path), "Line 1\r\nLine 2\r\n");
  // ACKs for the ENQ and the two blocks stored, none for the third.
  size_t acks = 0;
  for (const auto& written : fake.Writes()) acks += written == Bytes({0x06}) ? 1 : 0;
  EXPECT_EQ(acks, 3u);
  // The complete read end: each reply's read ended at once, without the gap.
  EXPECT_EQ(fake.ElapsedMs(), 4u * 10);
}

TEST(ApiOsError, TheErrorBehindAPortFailureAndNothingAfterASuccess) {
  FakePort fake;
  FakeHandle handle(&fake);
  ASSERT_EQ(handle.opened(), 0);
  fake.FailPurge(EIO);
  int32_t error = -7;
  EXPECT_EQ(vexolant_send(handle.get(), "abc", nullptr, &error), 0);
  EXPECT_EQ(error, VEXOLANT_ERR_PORT);
  EXPECT_EQ(vexolant_os_error(handle.get()), EIO);
  fake.FailPurge(0);
  fake.Reply(Bytes({0x06}));
  EXPECT_EQ(vexolant_send(handle.get(), "abc", nullptr, &error), 1);
  EXPECT_EQ(vexolant_os_error(handle.get()), 0);
  EXPECT_EQ(vexolant_os_error(nullptr), 0);
}

int32_t OpenFake(FakePort* fake, const char* name, int32_t busyWaitMs = 0) {
  vexolant_options options;
  vexolant_options_init(&options);
  options.busy_wait_ms = busyWaitMs;
  vexolant_port* port = nullptr;
  const int32_t result = OpenOnBackend(name, &options, fake->Backend(), fake->State(), &port);
  vexolant_close(port);
  return result;
}

// The reason of the last failed open of each name: kept per name, from the
// backend or from the OS error, cleared by an open of the name that
// succeeds; refused names and NULL are bad names.
TEST(ApiOpenError, TheReasonOfTheLastFailedOpenOfEachName) {
  FakePort line;
  line.FailOpen(EPROTO, OpenProblem::OtherLine);
  EXPECT_EQ(OpenFake(&line, "api-open-a"), EPROTO) << "the OS error stays as it was";
  FakePort busy;
  busy.BusyOpens(1000);
  EXPECT_NE(OpenFake(&busy, "api-open-b"), 0);
  FakePort denied;
  denied.FailOpen(EACCES);
  EXPECT_EQ(OpenFake(&denied, "api-open-c"), EACCES);
  EXPECT_EQ(vexolant_open_error("api-open-a"), VEXOLANT_OPEN_OTHER_LINE);
  EXPECT_EQ(vexolant_open_error("api-open-b"), VEXOLANT_OPEN_BUSY);
  EXPECT_EQ(vexolant_open_error("api-open-c"), static_cast<int32_t>(LocalOpenProblem(EACCES)));
  EXPECT_EQ(vexolant_open_error("api-open-never"), VEXOLANT_OPEN_NONE);
  EXPECT_EQ(vexolant_open_error("api-open-a "), VEXOLANT_OPEN_NONE) << "byte for byte";

  line.FailOpen(0);
  EXPECT_EQ(OpenFake(&line, "api-open-a"), 0);
  EXPECT_EQ(vexolant_open_error("api-open-a"), VEXOLANT_OPEN_NONE);
  EXPECT_EQ(vexolant_open_error("api-open-b"), VEXOLANT_OPEN_BUSY) << "another name's stays";

  vexolant_port* port = nullptr;
  for (const char* name : {"tcp://printerhost", "tcp://printerhost:0", "tty\x1b[2J", ""}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(vexolant_open(name, &port), InvalidPortNameError());
    EXPECT_EQ(vexolant_open_error(name), VEXOLANT_OPEN_BAD_NAME);
  }
  EXPECT_EQ(vexolant_open(nullptr, &port), InvalidPortNameError());
  EXPECT_EQ(vexolant_open_error(nullptr), VEXOLANT_OPEN_BAD_NAME);
  EXPECT_EQ(port, nullptr);
}

// A caller that tries ever new names does not grow the table without end:
// the 64 names whose opens failed last are kept.
TEST(ApiOpenError, TheReasonsOfThe64NamesThatFailedLastAreKept) {
  FakePort fake;
  fake.FailOpen(EIO, OpenProblem::Refused);
  for (int i = 0; i < 70; ++i) {
    EXPECT_NE(OpenFake(&fake, ("api-bound-" + std::to_string(i)).c_str()), 0);
  }
  for (int i = 0; i < 70; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(vexolant_open_error(("api-bound-" + std::to_string(i)).c_str()),
              i < 6 ? VEXOLANT_OPEN_NONE : VEXOLANT_OPEN_REFUSED);
  }
}

// Every reason has a name of its own and a text; the names are the codes'
// without their prefix, in lower case.
TEST(ApiOpenError, EveryReasonIsNamedAndHasAText) {
  struct Case {
    int32_t code;
    const char* name;
  } cases[] = {
      {VEXOLANT_OPEN_NONE, "none"},
      {VEXOLANT_OPEN_BAD_NAME, "bad_name"},
      {VEXOLANT_OPEN_NO_DEVICE, "no_device"},
      {VEXOLANT_OPEN_PERMISSION, "permission"},
      {VEXOLANT_OPEN_BUSY, "busy"},
      {VEXOLANT_OPEN_SERVER_BUSY, "server_busy"},
      {VEXOLANT_OPEN_UNKNOWN_HOST, "unknown_host"},
      {VEXOLANT_OPEN_UNREACHABLE, "unreachable"},
      {VEXOLANT_OPEN_REFUSED, "refused"},
      {VEXOLANT_OPEN_TIMED_OUT, "timed_out"},
      {VEXOLANT_OPEN_OPTION_REFUSED, "option_refused"},
      {VEXOLANT_OPEN_OTHER_LINE, "other_line"},
      {VEXOLANT_OPEN_OTHER, "other"},
  };
  std::set<std::string> texts;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_STREQ(vexolant_open_error_name(c.code), c.name);
    texts.insert(vexolant_open_error_text(c.code));
  }
  EXPECT_EQ(texts.size(), std::size(cases)) << "each reason its own text";
  EXPECT_STREQ(vexolant_open_error_name(-1), "unknown");
  EXPECT_STREQ(vexolant_open_error_text(VEXOLANT_OPEN_OTHER + 1), "unknown reason");
}

// The name rule before anything is opened: what it refuses, the open refuses.
TEST(ApiPortNameProblem, SaysWhyANameIsRefusedAndTheOpenAgrees) {
  struct Case {
    std::string name;
    const char* inProblem;  // nullptr: the name may be opened
  } cases[] = {
      {"ttyUSB0", nullptr},
      {"tcp://printerhost:4001", nullptr},
      {"rfc2217://[::1]:4001", nullptr},
      {"", "no name"},
      {std::string(256, 'p'), "longer than 255 bytes"},
      {"tty\x7fS0", "control byte"},
      {"tcp://printerhost", "no port number"},
      {"tcp://printerhost:0", "out of range"},
      {"rfc2217://printer host:4001", "host name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* problem = vexolant_port_name_problem(c.name.c_str());
    if (c.inProblem == nullptr) {
      EXPECT_EQ(problem, nullptr) << problem;
      continue;
    }
    ASSERT_NE(problem, nullptr);
    EXPECT_NE(std::string(problem).find(c.inProblem), std::string::npos) << problem;
    vexolant_port* port = nullptr;
    EXPECT_EQ(vexolant_open(c.name.c_str(), &port), InvalidPortNameError());
  }
  EXPECT_NE(vexolant_port_name_problem(nullptr), nullptr);
}

TEST(ApiBoundary, AnExceptionInsideAnOperationIsAPortFailureWithATraceLine) {
  PortBackend throwing = *FakePort::Backend();
  throwing.write = [](Port*, const uint8_t*, uint32_t, int32_t*) { throw std::bad_alloc(); };
  FakePort fake;
  FakeHandle handle(&fake, nullptr, &throwing);
  ASSERT_EQ(handle.opened(), 0);
  std::vector<std::string> lines;
  vexolant_trace_to_callback(
      [](const char* line, void* user) {
        static_cast<std::vector<std::string>*>(user)->push_back(line);
      },
      &lines);
  int32_t status = -7;
  int32_t error = -7;
  EXPECT_EQ(vexolant_send(handle.get(), "abc", &status, &error), 0);
  vexolant_trace_to_callback(nullptr, nullptr);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(error, VEXOLANT_ERR_PORT);
  EXPECT_EQ(vexolant_os_error(handle.get()), OutOfMemoryError());
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(
      lines.back().find("ERROR: Excepcion interna [" + std::to_string(OutOfMemoryError()) + "]"),
      std::string::npos)
      << lines.back();
  // The handle is still usable.
  fake.Reply(Bytes({0x06}));
  EXPECT_EQ(vexolant_check(handle.get()), 0);
}

// What the callback did when it called back into the library.
struct Reentry {
  vexolant_port* port = nullptr;
  int calls = 0;
  std::string text;
  int32_t sendError = 0;
  int32_t osError = 0;
};

TEST(ApiBoundary, ATraceCallbackMayCallBackIntoTheLibrary) {
  FakePort fake;
  fake.Reply(Bytes({0x06}));
  FakeHandle handle(&fake);
  ASSERT_EQ(handle.opened(), 0);
  Reentry reentry;
  reentry.port = handle.get();
  vexolant_trace_to_callback(
      [](const char*, void* user) {
        auto* r = static_cast<Reentry*>(user);
        if (r->calls++ > 0) return;
        r->text = vexolant_error_text(VEXOLANT_ERR_NAK);
        // An operation on the handle that is tracing: refused, not waited for.
        r->sendError = -7;
        vexolant_send(r->port, "again", nullptr, &r->sendError);
        r->osError = vexolant_os_error(r->port);
        // Closing from here takes effect when the operation returns.
        vexolant_close(r->port);
        vexolant_trace_to_callback(nullptr, nullptr);
      },
      &reentry);
  EXPECT_EQ(vexolant_send(handle.get(), "abc", nullptr, nullptr), 1);
  EXPECT_EQ(reentry.calls, 1);  // the callback switched the trace off
  EXPECT_EQ(reentry.text, "the printer answered NAK");
  EXPECT_EQ(reentry.sendError, VEXOLANT_ERR_PORT);
  EXPECT_EQ(reentry.osError, SelfDeadlockError());
  EXPECT_FALSE(fake.IsOpen());
  EXPECT_EQ(fake.Writes().size(), 1u) << "the refused send wrote nothing";
  int32_t error = -7;
  EXPECT_EQ(vexolant_send(handle.get(), "abc", nullptr, &error), 0);
  EXPECT_EQ(error, VEXOLANT_ERR_PORT);
}

TEST(ApiSendLines, TheCommandTextFromMemoryIsTakenApartAsACommandFile) {
  FakePort fake;
  fake.Reply(Bytes({0x06})).Reply(Bytes({0x06}));
  FakeHandle handle(&fake);
  ASSERT_EQ(handle.opened(), 0);
  const std::string text = "one\r\n\n\tskipped\ntwo\x1Athree\n";
  int32_t status = -7;
  int32_t error = -7;
  EXPECT_EQ(vexolant_send_lines(handle.get(), text.data(), text.size(), &status, &error), 2);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(fake.Writes(), (std::vector<std::vector<uint8_t>>{Frame("one"), Frame("two")}));
  EXPECT_EQ(vexolant_send_lines(handle.get(), nullptr, 0, &status, &error), 0);
  EXPECT_EQ(error, VEXOLANT_ERR_NO_COMMAND);
}

// The same command text reaches the printer the same way whatever holds it:
// a regular file, a pipe, a FIFO whose writer is there before the reader or
// comes after it, or memory. Which of the two programs starts first does not
// matter.
TEST(ApiSendFile, EveryKindOfSourceSendsTheSameCommands) {
  const std::string bytes =
      "abc\x1A"
      "def\nghi\n";
  enum class Source { File, Pipe, FifoWriterFirst, FifoWriterSecond, Memory };
  const struct Case {
    const char* name;
    Source source;
  } cases[] = {
      {"a regular file", Source::File},
#ifndef _WIN32
      {"a pipe", Source::Pipe},
      {"a FIFO whose writer comes first", Source::FifoWriterFirst},
      {"a FIFO whose writer comes second", Source::FifoWriterSecond},
#endif
      {"memory", Source::Memory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.File("commands");
    std::thread writer;
    std::string written;  // what the writer managed to write, or why not
    if (c.source == Source::File) {
      std::ofstream(path, std::ios::binary) << bytes;
    }
#ifndef _WIN32
    int fds[2] = {-1, -1};
    if (c.source == Source::Pipe) {
      ASSERT_EQ(pipe(fds), 0);
      ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      close(fds[1]);
    }
    const bool fifo = c.source == Source::FifoWriterFirst || c.source == Source::FifoWriterSecond;
    if (fifo) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      const bool first = c.source == Source::FifoWriterFirst;
      writer = std::thread([&path, &bytes, &written, first] {
        int fd = -1;
        if (first) {
          fd = open(path.c_str(), O_WRONLY);  // waits for the reader
        } else {
          // Comes once the reader has opened the FIFO and found no writer;
          // a reader that has gone already leaves ENXIO.
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        }
        if (fd < 0) {
          written = std::string("open: ") + std::strerror(errno);
          return;
        }
        written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())
                      ? bytes
                      : "a short write";
        close(fd);
      });
      if (first) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string source =
        c.source == Source::Pipe ? "/dev/fd/" + std::to_string(fds[0]) : path;
#else
    const std::string source = path;
#endif
    FakePort fake;
    fake.Reply(Bytes({0x06})).Reply(Bytes({0x06}));
    FakeHandle handle(&fake);
    ASSERT_EQ(handle.opened(), 0);
    int32_t status = -7;
    int32_t error = -7;
    const int32_t count =
        c.source == Source::Memory
            ? vexolant_send_lines(handle.get(), bytes.data(), bytes.size(), &status, &error)
            : vexolant_send_file(handle.get(), source.c_str(), &status, &error);
    if (writer.joinable()) writer.join();
#ifndef _WIN32
    if (fds[0] >= 0) close(fds[0]);
    if (fifo) {
      EXPECT_EQ(written, bytes);
    }
#endif
    EXPECT_EQ(count, 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(fake.Writes(), std::vector<std::vector<uint8_t>>{Frame("abc")});
  }
}

TEST(ApiCodes, EveryDecodedCodeIsNamedAndEveryNamedCodeIsDecoded) {
  // The printer's error codes and whether the command counts as accepted,
  // as the header names them.
  const std::set<std::pair<int32_t, int32_t>> named = {
      {VEXOLANT_PRINTER_ERR_NONE, 1},         {VEXOLANT_PRINTER_ERR_ACCEPTED_1, 1},
      {VEXOLANT_PRINTER_ERR_ACCEPTED_2, 1},   {VEXOLANT_PRINTER_ERR_REFUSED_3, 0},
      {VEXOLANT_PRINTER_ERR_REFUSED_80, 0},   {VEXOLANT_PRINTER_ERR_REFUSED_84, 0},
      {VEXOLANT_PRINTER_ERR_REFUSED_88, 0},   {VEXOLANT_PRINTER_ERR_REFUSED_92, 0},
      {VEXOLANT_PRINTER_ERR_REFUSED_96, 0},   {VEXOLANT_PRINTER_ERR_REFUSED_100, 0},
      {VEXOLANT_PRINTER_ERR_REFUSED_108, 0},  {VEXOLANT_PRINTER_ERR_STATUS_FAULT, 0},
      {VEXOLANT_PRINTER_ERR_REFUSED_225, 0},  {VEXOLANT_PRINTER_ERR_REFUSED_226, 0},
      {VEXOLANT_PRINTER_ERR_REFUSED_227, 0},  {VEXOLANT_PRINTER_ERR_REFUSED_228, 0},
      {VEXOLANT_PRINTER_ERR_ACCEPTED_232, 1}, {VEXOLANT_PRINTER_ERR_REFUSED_233, 0},
  };
  const std::set<int32_t> namedStatus = {
      VEXOLANT_STATUS_0,  VEXOLANT_STATUS_1,  VEXOLANT_STATUS_2,  VEXOLANT_STATUS_3,
      VEXOLANT_STATUS_4,  VEXOLANT_STATUS_5,  VEXOLANT_STATUS_6,  VEXOLANT_STATUS_7,
      VEXOLANT_STATUS_8,  VEXOLANT_STATUS_9,  VEXOLANT_STATUS_10, VEXOLANT_STATUS_11,
      VEXOLANT_STATUS_12, VEXOLANT_STATUS_13, VEXOLANT_STATUS_14, VEXOLANT_STATUS_15,
      VEXOLANT_STATUS_16, VEXOLANT_STATUS_17, VEXOLANT_STATUS_19,
  };
  // Every mask of the decoding tables lies within 10 bits, and the codes of
  // both frame forms (signed bytes, and derived codes up to 0x2C0) lie in
  // this range. The error code depends on the frame error code and on the
  // status bit that reports an error; the status code on the status alone.
  std::set<std::pair<int32_t, int32_t>> decoded;
  std::set<int32_t> decodedStatus;
  for (int32_t code = -1024; code < 1024; ++code) {
    int32_t status = 0;
    int32_t error = 0;
    for (const int32_t frameStatus : {0, 0x04}) {
      const int32_t accepted = CheckStatus(frameStatus, code, &status, &error);
      decoded.insert({error, accepted});
    }
    CheckStatus(code, 0, &status, &error);
    decodedStatus.insert(status);
  }
  EXPECT_EQ(decoded, named);
  EXPECT_EQ(decodedStatus, namedStatus);
  for (const auto& [code, accepted] : named) {
    EXPECT_STRNE(vexolant_error_text(code), "unknown code") << code;
  }
  for (const int32_t code : {VEXOLANT_ERR_PORT, VEXOLANT_ERR_ANSWER, VEXOLANT_ERR_NO_ANSWER,
                             VEXOLANT_ERR_NAK, VEXOLANT_ERR_FILE, VEXOLANT_ERR_FRAMING,
                             VEXOLANT_ERR_NO_COMMAND, VEXOLANT_ERR_UPLOAD_LIMIT}) {
    EXPECT_STRNE(vexolant_error_text(code), "unknown code") << code;
  }
}

TEST(ApiVersion, TheMacrosAndTheFunctionTellTheSameVersion) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d.%d", VEXOLANT_VERSION_MAJOR, VEXOLANT_VERSION_MINOR,
                VEXOLANT_VERSION_PATCH);
  EXPECT_STREQ(vexolant_version(), text);
  EXPECT_STREQ(vexolant_version(), VEXOLANT_VERSION_STRING);
  EXPECT_EQ(VEXOLANT_VERSION_NUMBER,
            VEXOLANT_VERSION_MAJOR * 10000 + VEXOLANT_VERSION_MINOR * 100 + VEXOLANT_VERSION_PATCH);
}

}  // namespace
