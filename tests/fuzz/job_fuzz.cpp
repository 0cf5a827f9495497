// vexolantd's job parser: any body gives a job or a 400/413 with a reason,
// never a crash; a job's canonical form parses to the same job; command
// texts hold the body's characters as latin-1 bytes.
#include <string>

#include "fuzz.h"
#include "service/job.h"

using namespace vexolant::service;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const ParseOutcome outcome = ParseJob(body);
  if (!outcome.request) {
    FUZZ_CHECK(outcome.status == 400 || outcome.status == 413);
    FUZZ_CHECK(!outcome.error.empty());
  } else {
    const JobRequest& request = *outcome.request;
    FUZZ_CHECK(outcome.status == 0);
    FUZZ_CHECK(body.size() <= (request.op == Op::kSendLines ? kLinesBodyLimit : kBodyLimit));
    if (request.op != Op::kSendLines) FUZZ_CHECK(request.bytes.find('\0') == std::string::npos);
    if (request.op == Op::kCheck || request.op == Op::kReadStatus) {
      FUZZ_CHECK(request.bytes.empty());
    }
    const ParseOutcome again = ParseJob(request.canonical);
    FUZZ_CHECK(again.request.has_value());
    FUZZ_CHECK(again.request->op == request.op);
    FUZZ_CHECK(again.request->bytes == request.bytes);
    FUZZ_CHECK(again.request->canonical == request.canonical);
  }
  // Latin-1 and UTF-8: a text within U+00FF comes back as it was.
  if (const auto bytes = Latin1FromUtf8(body)) {
    FUZZ_CHECK(bytes->size() <= body.size());
    FUZZ_CHECK(Utf8FromLatin1(*bytes) == body);
  }
  // A result holds whatever bytes an upload stored.
  JobResult result;
  result.lines = std::vector<std::string>{body};
  FUZZ_CHECK(!ResultToJson(result).empty());
  return 0;
}
