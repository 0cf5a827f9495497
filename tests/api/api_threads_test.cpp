// The C API under threads, against virtual printers: two handles on two
// ports work at the same time without a frame reaching the wrong line, and
// calls on one handle from two threads are served one at a time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/harness.h"
#include "vexolant/vexolant.h"

namespace {

namespace fs = std::filesystem;

// A tagged command text: "A-017".
std::string Tagged(char tag, int number) {
  char text[16];
  std::snprintf(text, sizeof text, "%c-%03d", tag, number);
  return text;
}

// The results of a run of sends that differ from ACK (1, 0, 0), as
// "A-017: (0, 0, 145)".
using Faults = std::vector<std::string>;

// Sends the texts tag-000 .. tag-(count-1) on the port, once the start is given.
Faults SendTagged(vexolant_port* port, char tag, int count, std::latch* start) {
  start->arrive_and_wait();
  Faults faults;
  for (int i = 0; i < count; ++i) {
    int32_t status = -7;
    int32_t error = -7;
    const std::string text = Tagged(tag, i);
    const int32_t value = vexolant_send(port, text.c_str(), &status, &error);
    if (value != 1 || status != 0 || error != 0) {
      faults.push_back(text + ": (" + std::to_string(value) + ", " + std::to_string(status) + ", " +
                       std::to_string(error) + ")");
    }
  }
  return faults;
}

// The frames of tag-000 .. tag-(count-1) in order, as the printer logs them.
std::vector<std::string> TaggedFrames(char tag, int count) {
  std::vector<std::string> frames;
  for (int i = 0; i < count; ++i) frames.push_back(e2e::Cmd(Tagged(tag, i)));
  return frames;
}

// Received frames of one tag, in the order of the log.
std::vector<std::string> FramesOf(const std::vector<std::string>& received, char tag) {
  const std::string start = "<STX>" + std::string(1, tag) + "-";
  std::vector<std::string> frames;
  for (const std::string& frame : received) {
    if (frame.rfind(start, 0) == 0) frames.push_back(frame);
  }
  return frames;
}

class ApiThreadsTest : public testing::Test {
 protected:
  ApiThreadsTest() {
    std::string pattern = testing::TempDir() + "vexolant_threads_XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
  }
  ~ApiThreadsTest() override {
    for (vexolant_port* port : ports_) vexolant_close(port);
    printers_.clear();
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }

  // Starts a printer in a directory of its own and opens a handle on it whose
  // reads end at a whole reply (so that a send does not wait out the read gap).
  vexolant_port* StartPrinter(const std::string& name) {
    const fs::path dir = dir_ / name;
    fs::create_directories(dir);
    e2e::Printer& printer = printers_.emplace_back(dir, dir / "port", std::vector<std::string>{});
    EXPECT_TRUE(printer.Started());
    vexolant_port* port = nullptr;
    EXPECT_EQ(vexolant_open_wait(printer.Device().c_str(), 0, &port), 0);
    EXPECT_EQ(vexolant_set_read_end(port, VEXOLANT_READ_END_COMPLETE), 0);
    ports_.push_back(port);
    return port;
  }
  // Stops the printer, so that its log is whole (a piece sent is logged
  // after it went out), and expects a clean end.
  e2e::Printer& StoppedPrinter(size_t i) {
    EXPECT_EQ(printers_[i].Stop(), 0) << "the exit status of printer " << i;
    return printers_[i];
  }

 private:
  fs::path dir_;
  std::deque<e2e::Printer> printers_;  // a printer stays where it was made
  std::vector<vexolant_port*> ports_;
};

TEST_F(ApiThreadsTest, TwoHandlesOnTwoPortsKeepTheirFramesApart) {
  constexpr int kSends = 100;
  vexolant_port* a = StartPrinter("a");
  vexolant_port* b = StartPrinter("b");
  ASSERT_FALSE(HasFailure());

  std::latch start(2);
  Faults faultsA;
  Faults faultsB;
  std::thread threadA([&] { faultsA = SendTagged(a, 'A', kSends, &start); });
  std::thread threadB([&] { faultsB = SendTagged(b, 'B', kSends, &start); });
  threadA.join();
  threadB.join();

  EXPECT_EQ(faultsA, Faults{});
  EXPECT_EQ(faultsB, Faults{});
  EXPECT_EQ(StoppedPrinter(0).Received(), TaggedFrames('A', kSends)) << "the printer of A";
  EXPECT_EQ(StoppedPrinter(1).Received(), TaggedFrames('B', kSends)) << "the printer of B";
}

TEST_F(ApiThreadsTest, CallsOnOneHandleAreServedOneAtATime) {
  constexpr int kSends = 20;
  vexolant_port* port = StartPrinter("one");
  ASSERT_FALSE(HasFailure());

  std::latch start(2);
  Faults faultsA;
  Faults faultsB;
  std::thread threadA([&] { faultsA = SendTagged(port, 'A', kSends, &start); });
  std::thread threadB([&] { faultsB = SendTagged(port, 'B', kSends, &start); });
  threadA.join();
  threadB.join();

  EXPECT_EQ(faultsA, Faults{});
  EXPECT_EQ(faultsB, Faults{});
  // Every frame is answered before the next one comes: the log alternates
  // between a frame received and the ACK sent for it.
  std::vector<std::string> received;
  std::optional<std::string> unanswered;
  for (const e2e::LogEntry& entry : StoppedPrinter(0).Log()) {
    if (entry.kind == "recv") {
      EXPECT_FALSE(unanswered.has_value())
          << entry.text << " came before " << *unanswered << " was answered";
      unanswered = entry.text;
      received.push_back(entry.text);
    } else if (entry.kind == "send") {
      EXPECT_TRUE(unanswered.has_value()) << entry.text << " answers nothing";
      EXPECT_EQ(entry.text, e2e::kAck) << "the answer to " << unanswered.value_or("nothing");
      unanswered.reset();
    }
  }
  EXPECT_FALSE(unanswered.has_value()) << *unanswered << " was not answered";
  EXPECT_EQ(received.size(), 2u * kSends);
  EXPECT_EQ(FramesOf(received, 'A'), TaggedFrames('A', kSends));
  EXPECT_EQ(FramesOf(received, 'B'), TaggedFrames('B', kSends));
}

}  // namespace
