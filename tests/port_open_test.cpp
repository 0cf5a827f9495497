// Opening a port that another process holds: the open tries again, paced,
// until the port is free or the wait is over; other failures end it at once.
#include <gtest/gtest.h>

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

}  // namespace
