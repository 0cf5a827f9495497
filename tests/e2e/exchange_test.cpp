// The common shape of a table case: a fresh printer, one run of the tool,
// then its result triple, the printer's view of the line and the files.
#include <string>

#include "harness.h"

namespace e2e {
namespace {

// The request with "{home}" replaced by the working directory.
std::string Expand(std::string request, const std::string& home) {
  const std::string placeholder = "{home}";
  for (size_t at = request.find(placeholder); at != std::string::npos;
       at = request.find(placeholder, at + home.size())) {
    request.replace(at, placeholder.size(), home);
  }
  return request;
}

TEST_P(Exchange, Run) {
  const Case& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartPrinter(c.printer));
  WriteHome("Status_Error.txt", kEarlierResult);
  if (c.input) WriteHome(c.input->name, c.input->bytes);
  if (c.output) WriteHome(c.output->name, "EARLIER CONTENT\r\n");

  const ToolRun run = RunTool(Expand(c.request, HomeDir()));
  StopPrinter();

  ExpectReported(run, c.result);
  EXPECT_EQ(AllowingLostFinalAck(printer().Received(), c.received), c.received)
      << "what the printer received";
  if (c.output) {
    EXPECT_EQ(ReadHome(c.output->name), c.output->bytes) << c.output->name;
  }
  if (c.check) c.check(printer(), run);
}

}  // namespace
}  // namespace e2e
