// A job as the API takes it: the operation and its command text or lines,
// parsed from the JSON body of POST /v1/printers/{name}/jobs, and its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexolant::service {

enum class Op { kCheck, kReadStatus, kSend, kSendLines, kUploadReport, kUploadStatus };

const char* OpName(Op op);
std::optional<Op> OpFromName(const std::string& name);

// Bodies are bounded: 1 MiB, 16 MiB for send_lines.
inline constexpr size_t kBodyLimit = 1 << 20;
inline constexpr size_t kLinesBodyLimit = 16 << 20;

struct JobRequest {
  Op op = Op::kCheck;
  // The printer's bytes: the command text (send, upload_report,
  // upload_status) or the command lines, joined by LF (send_lines).
  std::string bytes;
  // The body in a canonical form (keys sorted, no blanks): what an
  // idempotency key is compared with.
  std::string canonical;
};

// What parsing a body gives: a request, or the HTTP status (400 or 413) and
// the reason.
struct ParseOutcome {
  std::optional<JobRequest> request;
  int status = 0;
  std::string error;
};

// Parses a job body. Command texts are JSON strings whose characters are
// the printer's bytes (latin-1: U+0000 to U+00FF); a character above U+00FF,
// or a NUL in a command text, is a 400. Never throws.
ParseOutcome ParseJob(const std::string& body);

// UTF-8 text to latin-1 bytes; nullopt when a character is above U+00FF or
// the text is not UTF-8.
std::optional<std::string> Latin1FromUtf8(const std::string& text);
// Latin-1 bytes to UTF-8 text.
std::string Utf8FromLatin1(const std::string& bytes);

// The outcome of a job that ran.
struct JobResult {
  bool ok = false;
  int32_t value = 0;
  int32_t status = 0;
  int32_t error = 0;
  std::string error_text;
  int32_t os_error = 0;                           // when the port could not be opened
  std::string open_error;                         // then: why, as vexolant_open_error_name says
  std::string open_error_text;                    // and what to do about it
  std::optional<std::vector<std::string>> lines;  // uploads: the stored lines (latin-1)
};

std::string ResultToJson(const JobResult& result);

}  // namespace vexolant::service
