// Opening a port that another process holds: the open tries again, paced,
// until the port is free or the wait is over; other failures end it at once.
// And the bounded wait for written bytes to leave the output queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_port.h"
#include "link/port.h"

using namespace vexolant;

namespace {

struct Opened {
  int result;
  int32_t error;
  uint32_t waited;
};

Opened Open(FakePort& port, uint32_t busyWaitMs) {
  port.Link()->busyWaitMs = busyWaitMs;
  Opened o{-1, -1, 0};
  o.result = PortOpen(port, "ttyS0", &o.error, &o.waited);
  return o;
}

TEST(PortOpen, BusyPortIsTriedAgainUntilItIsFree) {
  FakePort port;
  port.BusyOpens(3);
  const Opened o = Open(port, 30000);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(port.Count(FakeEvent::Open), 4u);
  EXPECT_EQ(port.Pauses(), (std::vector<uint32_t>{kBusyRetryMs, kBusyRetryMs, kBusyRetryMs}));
}

TEST(PortOpen, BusyPortEndsTheOpenWhenTheWaitIsOver) {
  struct Case {
    uint32_t waitMs;
    std::vector<uint32_t> pauses;
  } cases[] = {
      {0, {}},
      {60, {kBusyRetryMs, kBusyRetryMs, 60 - 2 * kBusyRetryMs}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waitMs);
    FakePort port;
    port.BusyOpens(1000);
    const Opened o = Open(port, c.waitMs);
    EXPECT_EQ(o.result, 0);
    EXPECT_NE(o.error, 0);
    EXPECT_EQ(o.waited, c.waitMs);
    EXPECT_EQ(port.Pauses(), c.pauses);
  }
}

TEST(PortOpen, OtherFailuresEndTheOpenAtOnce) {
  FakePort port;
  port.FailOpen(13);
  const Opened o = Open(port, 30000);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.error, 13);
  EXPECT_EQ(port.Count(FakeEvent::Open), 1u);
  EXPECT_TRUE(port.Pauses().empty());
}

// The reason of a failed open: a busy port is Busy whatever its error, the
// backend's own reason wins over the one its error would give, an error
// alone gets the platform's reason, and an open that succeeds clears it.
TEST(PortOpen, TheReasonOfAFailedOpenLastsUntilTheNextOpen) {
  FakePort port;
  port.BusyOpens(1000);
  EXPECT_EQ(Open(port, 0).result, 0);
  EXPECT_EQ(port.Link()->openProblem, OpenProblem::Busy);

  FakePort refused;
  refused.FailOpen(13, OpenProblem::OtherLine);
  EXPECT_EQ(Open(refused, 30000).result, 0);
  EXPECT_EQ(refused.Link()->openProblem, OpenProblem::OtherLine);
  refused.FailOpen(13);
  EXPECT_EQ(Open(refused, 30000).result, 0);
  EXPECT_EQ(refused.Link()->openProblem, LocalOpenProblem(13));
  EXPECT_NE(refused.Link()->openProblem, OpenProblem::None);
  refused.FailOpen(0);
  EXPECT_EQ(Open(refused, 30000).result, 1);
  EXPECT_EQ(refused.Link()->openProblem, OpenProblem::None);
}

// Each reason has a name of its own and a text; others have neither.
TEST(OpenProblemText, EveryReasonHasItsOwnNameAndAText) {
  std::vector<std::string> names;
  for (int32_t code = 0; code <= kLastOpenProblem; ++code) {
    SCOPED_TRACE(code);
    const auto problem = static_cast<OpenProblem>(code);
    const std::string name = OpenProblemName(problem);
    EXPECT_NE(name, "unknown");
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << name;
    names.push_back(name);
    EXPECT_STRNE(OpenProblemText(problem), "unknown reason");
    EXPECT_GT(std::string(OpenProblemText(problem)).size(), 10u);
  }
  for (const int32_t code : {-1, kLastOpenProblem + 1, 1000}) {
    EXPECT_STREQ(OpenProblemName(static_cast<OpenProblem>(code)), "unknown");
    EXPECT_STREQ(OpenProblemText(static_cast<OpenProblem>(code)), "unknown reason");
  }
}

TEST(PortNameError, NamesThatCannotBeOpenedAsGiven) {
  struct Case {
    std::string name;
    bool valid;
  } cases[] = {
      {"ttyS0", true},
      {std::string(kMaxPortName, 'a'), true},
      {std::string(kMaxPortName + 1, 'a'), false},  // would be cut and open another device
      {"", false},
      {"tty\x1b[2JS0", false},
      {"ttyS0\t", false},
      {"tty\x7f", false},
      {"COM\xc3\xa9", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PortNameError(c.name.c_str()) == 0, c.valid);
  }
  EXPECT_NE(PortNameError(nullptr), 0);
}

// An output queue on a virtual clock: it takes `rate` bytes off per
// kLineByteNs (0: a device that stopped taking bytes), or fails.
struct FakeQueue {
  int64_t bytes = 0;
  int64_t rate = 1;
  int32_t error = 0;
  int64_t now = 0;
  std::vector<int64_t> sleeps;
  int questions = 0;

  OutputQueue Queue() {
    return {[](void* c, uint32_t* queued) {
              auto* q = static_cast<FakeQueue*>(c);
              // A wait that never ends asks without end: stop it here.
              if (++q->questions > 100000) return int32_t{-1};
              *queued = static_cast<uint32_t>(q->bytes);
              return q->error;
            },
            [](void* c) { return static_cast<FakeQueue*>(c)->now; },
            [](void* c, int64_t ns) {
              auto* q = static_cast<FakeQueue*>(c);
              q->sleeps.push_back(ns);
              q->now += ns;
              q->bytes = std::max<int64_t>(0, q->bytes - q->rate * ns / kLineByteNs);
            },
            this};
  }
};

TEST(WaitForOutput, EndsWhenTheQueueIsEmptyOrAtTheDeadline) {
  constexpr int64_t kMs = 1000000;
  const int64_t frameDeadline = 10 * kLineByteNs + kDrainSlackNs;  // a 10-byte frame
  struct Case {
    const char* name;
    int64_t bytes, rate;
    int32_t error;
    Drain drain;
    int64_t lo, hi;  // when it ended, on the queue's clock
  } cases[] = {
      {"empty at once", 0, 1, 0, Drain::Empty, 0, 0},
      {"drains at the line's pace", 10, 1, 0, Drain::Empty, 10 * kLineByteNs, 14 * kLineByteNs},
      {"stopped device", 10, 0, 0, Drain::TimedOut, frameDeadline, frameDeadline},
      {"queue that cannot be asked", 10, 1, 5, Drain::Failed, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeQueue q;
    q.bytes = c.bytes;
    q.rate = c.rate;
    q.error = c.error;
    int32_t error = -1;
    EXPECT_EQ(WaitForOutput(q.Queue(), frameDeadline, &error), c.drain);
    EXPECT_EQ(error, c.error);
    EXPECT_GE(q.now, c.lo);
    EXPECT_LE(q.now, c.hi);
    // It sleeps between questions, never spinning, and never past the deadline.
    EXPECT_LE(static_cast<int64_t>(q.sleeps.size()), frameDeadline / kDrainMinSleepNs + 1);
    for (const int64_t ns : q.sleeps) {
      EXPECT_GT(ns, 0);
      EXPECT_LE(ns, 10 * kMs);
    }
  }
}

}  // namespace
