// Command send, with the refusal path, and the command file send.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_port.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "link/outcome.h"
#include "printer/command_file.h"
#include "printer/operations.h"
#include "scratch_dir.h"

using namespace vexolant;

namespace {

using Writes = std::vector<std::vector<uint8_t>>;
const std::vector<uint8_t> kAck = {ASCII_ACK};
const std::vector<uint8_t> kNak = {ASCII_NAK};
const std::vector<uint8_t> kEnq = {ASCII_ENQ};

struct Sent {
  int32_t result, status, error;
};

Sent Send(Port* port, const char* text) {
  Sent s{-1, -1, -1};
  s.result = SendCmd(port, &s.status, &s.error, text);
  return s;
}

TEST(SendCmd, FrameCarriesTheFirstLineOfTheText) {
  struct Case {
    const char* name;
    std::string text;
    bool absent;
    std::vector<uint8_t> frame;
  } cases[] = {
      {"plain", "abc", false, Frame("abc")},
      {"cut at CR LF", "abc\r\nxyz", false, Frame("abc")},
      {"cut at LF", "ab\ncd", false, Frame("ab")},
      {"empty", "", false, Bytes({0x02, 0x03, 0x03})},
      {"absent is empty", "", true, Bytes({0x02, 0x03, 0x03})},
      {"cut at 4096 bytes", std::string(5000, 'A'), false, Frame(std::string(4096, 'A'))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    port.Reply(kAck);
    const Sent s = Send(port, c.absent ? nullptr : c.text.c_str());
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(port.Writes(), Writes{c.frame});
  }
}

TEST(SendCmd, AnswersOtherThanRefusal) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> replies;
    Sent expected;
    size_t frames;
  } cases[] = {
      {"ACK", {kAck}, {1, 0, 0}, 1},
      {"NAK then ACK", {kNak, kAck}, {1, 0, 0}, 2},
      {"nine-byte frame is not decoded", {StatusFrame({0x44, 0x6C, 0, 0, 0, 0})}, {1, 0, 0}, 1},
      {"five-byte frame", {StatusFrame({0x44, 0x6C})}, {1, 0, 0}, 1},
      {"three NAKs", {kNak, kNak, kNak}, {0, 0, FP_NAK_ERROR}, 3},
      {"silence", {{}, {}, {}}, {0, 0, FP_NO_ANSWER}, 3},
      {"six-byte frame", {Frame("abc")}, {0, 0, FP_ANSWER_ERROR}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    for (const auto& r : c.replies) port.Reply(r);
    const Sent s = Send(port, "CMD");
    EXPECT_EQ(s.result, c.expected.result);
    EXPECT_EQ(s.status, c.expected.status);
    EXPECT_EQ(s.error, c.expected.error);
    EXPECT_EQ(port.Writes(), Writes(c.frames, Frame("CMD")));
    EXPECT_EQ(port.Count(FakeEvent::Purge), 1u) << "purged once, however many attempts";
  }
}

// ENQ: the printer refuses the command and sends its status, unasked, after
// one ACK. The command reports what that status decodes to.
TEST(SendCmd, RefusalReportsThePrintersDecodedStatus) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> after;  // what follows the ENQ
    Sent expected;
    size_t statusReads;
  } cases[] = {
      {"status that decodes as success", {StatusFrame({0x40, 0x40})}, {1, 1, 0}, 1},
      {"status that decodes as failure", {StatusFrame({0x40, 0x6C})}, {0, 1, 108}, 1},
      {"long status frame", {StatusFrame({0x60, 0x82, 0, 0, 0, 0})}, {1, 16, 0}, 1},
      {"NAK, then the status", {kNak, StatusFrame({0x40, 0x41})}, {1, 1, 1}, 2},
      {"no status frame", {{}, {}, {}}, {0, 0, FP_NO_ANSWER}, 3},
      {"invalid status frame", {Bytes({2, 0x40, 0x40, 3, 0})}, {0, 0, FP_ANSWER_ERROR}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    port.Reply(kEnq);
    for (const auto& r : c.after) port.Reply(r);
    const Sent s = Send(port, "CMD");
    EXPECT_EQ(s.result, c.expected.result);
    EXPECT_EQ(s.status, c.expected.status);
    EXPECT_EQ(s.error, c.expected.error);
    EXPECT_EQ(port.Writes(), (Writes{Frame("CMD"), kAck})) << "one frame, exactly one ACK";
    EXPECT_EQ(port.Count(FakeEvent::Purge), 1u) << "the status read does not purge";
    EXPECT_EQ(port.ReadSizes(), std::vector<uint32_t>(1 + c.statusReads, 9));
    EXPECT_EQ(port.PausesOf(kReplyPauseMs), 2u);
  }
}

TEST(SendCmd, FailedAckAfterRefusalIsAPortError) {
  FakePort port;
  port.Reply(kEnq).Reply(StatusFrame({0x40, 0x40}));
  port.FailWrite(1, 23);
  const Sent s = Send(port, "CMD");
  EXPECT_EQ(s.result, 0);
  EXPECT_EQ(s.error, FP_PORT_ERROR);
  EXPECT_EQ(port.Count(FakeEvent::Read), 1u) << "no status read after a failed ACK";
}

TEST(SendCmd, RefusalAfterANakPausedOnce) {
  FakePort port;
  port.Reply(kNak).Reply(kEnq).Reply(StatusFrame({0x40, 0x40}));
  const Sent s = Send(port, "CMD");
  EXPECT_EQ(s.result, 1);
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(port.Writes(), (Writes{Frame("CMD"), Frame("CMD"), kAck}));
  EXPECT_EQ(port.PausesOf(kNakPauseMs), 1u);
}

// STX, ETX or ETB inside the text would make the printer see more than one
// frame; the text is never sent. Past a CR or LF the text is not sent anyway.
TEST(SendCmd, TextHoldingAFramingByteIsNotSent) {
  struct Case {
    const char* text;
    int32_t error;
  } cases[] = {
      {"A\x03"
       "B",
       FP_TEXT_ERROR},
      {"\x02"
       "B",
       FP_TEXT_ERROR},
      {"AB\x17", FP_TEXT_ERROR},
      {"AB\n\x03", 0},
      {"A\x01\x04"
       "B",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakePort port;
    port.Reply(kAck);
    const Sent s = Send(port, c.text);
    EXPECT_EQ(s.result, c.error == 0 ? 1 : 0);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.error, c.error);
    EXPECT_EQ(port.Count(FakeEvent::Write), c.error == 0 ? 1u : 0u);
    EXPECT_EQ(port.Count(FakeEvent::Purge), c.error == 0 ? 1u : 0u);
  }
}

// --- Command file ----------------------------------------------------------

struct FileRun {
  int32_t count, status, error;
};

FileRun SendFile(Port* port, const char* path) {
  FileRun r{-1, -1, -1};
  r.count = SendFileCmd(port, &r.status, &r.error, path);
  return r;
}

TEST(SendFileCmd, LinesAreReadAsTextAndSentInOrder) {
  const std::string longLine(5000, 'L');
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::string> commands;
  } cases[] = {
      {"three lines", "uno\ndos\ntres\n", {"uno", "dos", "tres"}},
      {"CR LF line ends", "uno\r\ndos\r\n", {"uno", "dos"}},
      {"last line without line end", "uno\ndos", {"uno", "dos"}},
      {"lines starting below a space are skipped", "\n\tx\n\ry\n\x01z\nok\n\n", {"ok"}},
      {"a space or a high byte starts a command", " a\n\x80\x81\n", {" a", "\x80\x81"}},
      {"0x1A ends the text",
       "uno\n\x1A"
       "dos\n",
       {"uno"}},
      {"0x1A within a line ends the text",
       "uno\x1A"
       "dos\ntres\n",
       {"uno"}},
      {"a lone CR stays in the line", "ab\rcd\n", {"ab"}},
      {"a line of 4096 bytes and its LF",
       std::string(4096, 'A') + "\nB\n",
       {std::string(4096, 'A'), "B"}},
      {"a longer line comes in 4096-byte pieces",
       longLine + "\n",
       {std::string(4096, 'L'), std::string(904, 'L')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.File("cmds.txt");
    WriteBytes(path, c.file);
    FakePort port;
    for (size_t i = 0; i < c.commands.size(); ++i) port.Reply(kAck);
    const FileRun r = SendFile(port, path.c_str());
    EXPECT_EQ(r.count, static_cast<int32_t>(c.commands.size()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, 0);
    Writes frames;
    for (const std::string& command : c.commands) frames.push_back(Frame(command));
    EXPECT_EQ(port.Writes(), frames);
  }
}

TEST(SendFileCmd, StopsAtTheFirstFailingCommand) {
  ScratchDir dir;
  const std::string path = dir.File("cmds.txt");
  WriteBytes(path, "uno\ndos\ntres\n");
  FakePort port;
  port.Reply(kAck).Silence(3).Reply(kAck);
  const FileRun r = SendFile(port, path.c_str());
  EXPECT_EQ(r.count, 1) << "the failed command is not counted";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.error, FP_NO_ANSWER);
  EXPECT_EQ(port.Writes(), (Writes{Frame("uno"), Frame("dos"), Frame("dos"), Frame("dos")}));
}

// A framing byte or a NUL in the text a line's frame would carry: nothing of
// that line is sent (never a frame cut at the NUL) and the file stops there.
TEST(SendFileCmd, StopsAtALineHoldingAFramingByteOrANul) {
  using namespace std::string_literals;
  struct Case {
    std::string file;
    int32_t count, error;
    Writes frames;
  } cases[] = {
      {"uno\nd\x03s\ntres\n", 1, FP_TEXT_ERROR, {Frame("uno")}},
      {"uno\nd\0s\ntres\n"s, 1, FP_TEXT_ERROR, {Frame("uno")}},
      {"uno\ndos\0\ntres\n"s, 1, FP_TEXT_ERROR, {Frame("uno")}},
      {"d\0s"s, 0, FP_TEXT_ERROR, {}},
      // Past a CR the text is not sent anyway; a line starting below 0x20 is skipped.
      {"ab\r\0c\n\0x\ntres\n"s, 2, 0, {Frame("ab"), Frame("tres")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.file));
    ScratchDir dir;
    const std::string path = dir.File("cmds.txt");
    WriteBytes(path, c.file);
    FakePort port;
    port.Reply(kAck).Reply(kAck).Reply(kAck);
    const FileRun r = SendFile(port, path.c_str());
    EXPECT_EQ(r.count, c.count);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(port.Writes(), c.frames);
  }
}

TEST(SendFileCmd, RefusedCommandDeliversItsDecodedStatus) {
  ScratchDir dir;
  const std::string path = dir.File("cmds.txt");
  WriteBytes(path, "uno\ndos\ntres\n");
  FakePort port;
  // The first refusal decodes as success and counts; the second does not.
  port.Reply(kEnq).Reply(StatusFrame({0x40, 0x41}));
  port.Reply(kEnq).Reply(StatusFrame({0x40, 0x6C}));
  const FileRun r = SendFile(port, path.c_str());
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.error, 108);
}

TEST(SendFileCmd, NothingToSendIsError92) {
  for (const char* text : {"", "\n\n", "\t\n\r\n",
                           "\x1A"
                           "uno\n"}) {
    ScratchDir dir;
    const std::string path = dir.File("cmds.txt");
    WriteBytes(path, text);
    FakePort port;
    const FileRun r = SendFile(port, path.c_str());
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, 92);
    EXPECT_TRUE(port.Log().empty());
  }
}

TEST(SendFileCmd, MissingOrUnreadableFileIs153WithThePortUntouched) {
  ScratchDir dir;
  const std::string missing = dir.File("missing.txt");
  const std::string directory = dir.Path().string();  // opens, but cannot be read
  for (const char* path : {static_cast<const char*>(nullptr), missing.c_str(), directory.c_str()}) {
    FakePort port;
    const FileRun r = SendFile(port, path);
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, FP_FILE_ERROR);
    EXPECT_TRUE(port.Log().empty());
  }
}

// The whole file is read before the first command: up to 16 MiB exactly, and
// not a byte more, even from a device that never ends.
TEST(SendFileCmd, SixteenMiBAreReadOneByteMoreIs153WithNothingSent) {
  constexpr size_t k16MiB = 16 * 1024 * 1024;
  ScratchDir dir;
  const std::string path = dir.File("cmds.txt");
#ifdef _WIN32
  const char* endless = nullptr;
#else
  const char* endless = "/dev/zero";
#endif
  struct Case {
    const char* path;
    size_t size;  // of the file written at path first, when not 0
    int32_t count, error;
  } cases[] = {
      {path.c_str(), k16MiB, 1, 0},
      {path.c_str(), k16MiB + 1, 0, FP_FILE_ERROR},
      {endless, 0, 0, FP_FILE_ERROR},
  };
  for (const Case& c : cases) {
    if (c.path == nullptr) continue;
    SCOPED_TRACE(c.path + std::string(" ") + std::to_string(c.size));
    // One command, then 0x1A and filler: all of it must be read first.
    if (c.size != 0) WriteBytes(path, "A\n\x1A" + std::string(c.size - 3, 'x'));
    FakePort port;
    port.Reply(kAck);
    const FileRun r = SendFile(port, c.path);
    EXPECT_EQ(r.count, c.count);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(port.Writes(), c.count == 1 ? Writes{Frame("A")} : Writes{});
  }
}

#ifndef _WIN32
// A pipe as the command file (/dev/stdin fed by one, a process substitution,
// a named FIFO): read until its writers are gone, never waited on at the
// open, and bounded like any file.
class CommandPipe {
 public:
  CommandPipe() {
    if (pipe(fds_) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
  }
  ~CommandPipe() {
    Close(0);
    Close(1);
  }
  CommandPipe(const CommandPipe&) = delete;
  CommandPipe& operator=(const CommandPipe&) = delete;
  // The path that opens the reading end, as /dev/stdin does.
  std::string Path() const { return "/dev/fd/" + std::to_string(fds_[0]); }
  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fds_[1], bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  void Close(int end) {
    if (fds_[end] >= 0) close(fds_[end]);
    fds_[end] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(SendFileCmd, PipeIsReadToItsEndLikeAFile) {
  struct Case {
    const char* name;
    std::string bytes;
    bool writerStays;  // the writer keeps the pipe open, adds a line, then closes it
    int32_t count, error;
    Writes frames;
  } cases[] = {
      {"lines, writer gone", "A\nB\n", false, 2, 0, {Frame("A"), Frame("B")}},
      {"lines, writer still writing", "A\n", true, 2, 0, {Frame("A"), Frame("late")}},
      {"0x1A ends the text",
       "A\n\x1A"
       "B\n",
       false,
       1,
       0,
       {Frame("A")}},
      {"nothing written", "", false, 0, 92, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandPipe pipe;
    pipe.Write(c.bytes);
    std::thread writer;
    if (c.writerStays) {
      writer = std::thread([&pipe] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pipe.Write("late\n");
        pipe.Close(1);
      });
    } else {
      pipe.Close(1);
    }
    FakePort port;
    port.Reply(kAck).Reply(kAck);
    const FileRun r = SendFile(port, pipe.Path().c_str());
    if (writer.joinable()) writer.join();
    EXPECT_EQ(r.count, c.count);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(port.Writes(), c.frames);
  }
}

// A named FIFO that no one writes: the open does not wait for a writer, the
// read waits for one within the idle bound, as for a silent pipe. A socket
// can never be a command file.
TEST(SendFileCmd, FifoWithoutWriterIsBoundedAndASocketIsRefused) {
  ScratchDir dir;
  const std::string fifo = dir.File("cmds.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    std::string text;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadCommandFile(fifo.c_str(), &text, 200), CommandFileRead::Unreadable);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(190));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(text.empty());
  }
  const std::string socketPath = dir.File("cmds.sock");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  FakePort port;
  const FileRun r = SendFile(port, socketPath.c_str());
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.error, FP_FILE_ERROR);
  EXPECT_TRUE(port.Log().empty());
  close(listener);
}

// A pipe whose writer stays but sends nothing ends the read after the idle
// bound; one that sends more than 16 MiB is refused at the byte past them.
TEST(SendFileCmd, PipeIsBoundedInTimeAndSize) {
  {
    CommandPipe pipe;
    pipe.Write("A\n");
    std::string text;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadCommandFile(pipe.Path().c_str(), &text, 200), CommandFileRead::Unreadable);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(190));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(text.empty());
  }
  CommandPipe pipe;
  std::thread writer([&pipe] {
    pipe.Write("A\n" + std::string(16 * 1024 * 1024 - 1, 'x'));
    pipe.Close(1);
  });
  FakePort port;
  port.Reply(kAck);
  const FileRun r = SendFile(port, pipe.Path().c_str());
  writer.join();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.error, FP_FILE_ERROR);
  EXPECT_TRUE(port.Log().empty());
}
#endif

TEST(SendFileCmd, CharacterDeviceIsReadLikeAFile) {
#ifdef _WIN32
  const char* nullDevice = "NUL";
#else
  const char* nullDevice = "/dev/null";
#endif
  FakePort port;
  const FileRun r = SendFile(port, nullDevice);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.error, 92) << "an empty file, not one that cannot be read";
}

}  // namespace
