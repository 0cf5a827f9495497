// Each command word runs its operation through the tool's front end and
// reports its result triple.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/dispatcher.h"
#include "fake_port.h"
#include "link/frame.h"
#include "scratch_dir.h"
#include "test_env.h"

using namespace vexolant;

namespace {

struct RowCase {
  const char* request;
  std::function<void(FakePort&, const ScratchDir&)> script;
  const char* console;
  const char* resultFile;
  const char* outputFile;  // Reporte.txt or Status.txt, when the command writes one
  const char* output;
};

const RowCase kRowCases[] = {
    {"CheckFprinter",
     [](FakePort& p, const ScratchDir&) {
       p.Reply(StatusFrame({0x44, 0x6C}));
     },
     "Retorno: TRUE\tStatus: 0\tError: 0\n\n", "TRUE\t0\t0", nullptr, nullptr},
    {"CheckFprinter", [](FakePort& p, const ScratchDir&) { p.Reply({ASCII_NAK}).Silence(2); },
     "Retorno: FALSE\tStatus: 0\tError: 0\n\n", "FALSE\t0\t0", nullptr, nullptr},
    {"ReadFpStatus",
     [](FakePort& p, const ScratchDir&) {
       p.Reply(StatusFrame({0x44, 0x41}));
     },
     "Retorno: TRUE\tStatus: 1\tError: 112\n\n", "TRUE\t1\t112", nullptr, nullptr},
    {"SendCmd(abc)", [](FakePort& p, const ScratchDir&) { p.Silence(3); },
     "Retorno: FALSE\tStatus: 0\tError: 137\n\n", "FALSE\t0\t137", nullptr, nullptr},
    {"SendFileCmd(cmds.txt)",
     [](FakePort& p, const ScratchDir& home) {
       WriteBytes(home.File("cmds.txt"), "uno\ndos\n");
       p.Reply({ASCII_ACK}).Reply({ASCII_ACK});
     },
     "Retorno: 2\tStatus: 0\tError: 0\n\n", "2\t0\t0", nullptr, nullptr},
    {"UploadReportCmd(R)",
     [](FakePort& p, const ScratchDir&) {
       p.Reply({ASCII_ENQ}).Reply(Frame("uno", ASCII_ETB)).Reply(Frame("dos"));
     },
     "Retorno: TRUE\tStatus: 0\tError: 0\n\n", "TRUE\t0\t0", "Reporte.txt", "uno\r\ndos\r\n"},
    {"UploadStatusCmd(S)", [](FakePort& p, const ScratchDir&) { p.Reply(Frame("estado")); },
     "Retorno: TRUE\tStatus: 0\tError: 0\n\n", "TRUE\t0\t0", "Status.txt", "estado\r\n"},
};

TEST(CommandRows, EveryCommandWordRunsItsOperationAndReports) {
  for (const RowCase& c : kRowCases) {
    SCOPED_TRACE(c.request);
    ScratchDir home;
    SetTestEnv("VEXOLANT_HOME", home.Path().string().c_str());
    WriteBytes(home.File("Puerto.dat"), "ttyS0\n");
    FakePort port;
    c.script(port, home);
    // cmds.txt stands for the command file in the test's directory.
    std::string request = c.request;
    const size_t name = request.find("cmds.txt");
    if (name != std::string::npos) request.replace(name, 8, home.File("cmds.txt"));
    const char* argv[] = {"vexolant", request.c_str()};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RunTool(2, argv, port.Backend(), port.State()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.console);
    EXPECT_EQ(ReadBytes(home.File("Status_Error.txt")), c.resultFile);
    if (c.outputFile != nullptr) {
      EXPECT_EQ(ReadBytes(home.File(c.outputFile)), c.output);
    }
    ClearTestEnv("VEXOLANT_HOME");
  }
}

}  // namespace
