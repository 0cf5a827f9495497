// Closing a handle right after an operation: every byte the library wrote
// reaches the printer, the ACK that ends an upload or a refusal included.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "e2e/harness.h"
#include "vexolant/vexolant.h"

namespace {

namespace fs = std::filesystem;

struct CloseCase {
  std::string name;
  std::function<int32_t(vexolant_port*, const std::string& dir)> run;
  int32_t value;
  std::vector<std::string> received;  // what the printer must have, in order
};

std::vector<CloseCase> Cases() {
  const std::string ack = e2e::kAck;
  return {
      {"check",
       [](vexolant_port* p, const std::string&) { return vexolant_check(p); },
       1,
       {e2e::kEnq}},
      {"send",
       [](vexolant_port* p, const std::string&) {
         return vexolant_send(p, "abc", nullptr, nullptr);
       },
       1,
       {e2e::Cmd("abc")}},
      {"refused",
       [](vexolant_port* p, const std::string&) {
         return vexolant_send(p, "Xyz", nullptr, nullptr);
       },
       0,
       {e2e::Cmd("Xyz"), ack}},
      {"upload_status",
       [](vexolant_port* p, const std::string& dir) {
         return vexolant_upload_status(p, "S", (dir + "/status.txt").c_str(), nullptr, nullptr);
       },
       1,
       {e2e::Cmd("S"), ack}},
      {"upload_report",
       [](vexolant_port* p, const std::string& dir) {
         return vexolant_upload_report(p, "R", (dir + "/report.txt").c_str(), nullptr, nullptr);
       },
       1,
       {e2e::Cmd("R"), ack, ack, ack, ack}},
  };
}

TEST(ApiCloseTest, CloseRightAfterAnOperationKeepsEveryByteWritten) {
  std::string pattern = testing::TempDir() + "vexolant_close_XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  for (const CloseCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    const fs::path caseDir = dir / c.name;
    fs::create_directories(caseDir);
    e2e::Printer printer(
        caseDir, caseDir / "port",
        {"--rule", "X=refuse:4060", "--rule", "R=report:3:Line %d", "--rule", "S=block:Ready"});
    ASSERT_TRUE(printer.Started());
    vexolant_port* port = nullptr;
    ASSERT_EQ(vexolant_open_wait(printer.Device().c_str(), 0, &port), 0);
    // Reads end at a whole reply, so the last write is the last thing the
    // operation does before it returns.
    ASSERT_EQ(vexolant_set_read_end(port, VEXOLANT_READ_END_COMPLETE), 0);
    EXPECT_EQ(c.run(port, caseDir.string()), c.value);
    vexolant_close(port);
    EXPECT_EQ(printer.Stop(), 0);
    EXPECT_EQ(printer.Received(), c.received);
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
