#include "service/job.h"

#include <array>
#include <nlohmann/json.hpp>
#include <utility>

namespace vexolant::service {

namespace {

using nlohmann::json;

constexpr std::array<std::pair<Op, const char*>, 6> kOps{{
    {Op::kCheck, "check"},
    {Op::kReadStatus, "read_status"},
    {Op::kSend, "send"},
    {Op::kSendLines, "send_lines"},
    {Op::kUploadReport, "upload_report"},
    {Op::kUploadStatus, "upload_status"},
}};

ParseOutcome Bad(int status, std::string error) {
  ParseOutcome outcome;
  outcome.status = status;
  outcome.error = std::move(error);
  return outcome;
}

// A field's text as bytes, or the reason why not.
std::optional<std::string> Bytes(const json& value, bool allow_nul, std::string& error,
                                 const char* field) {
  if (!value.is_string()) {
    error = std::string("'") + field + "' must be a string";
    return std::nullopt;
  }
  auto bytes = Latin1FromUtf8(value.get_ref<const std::string&>());
  if (!bytes) {
    error = std::string("'") + field + "' holds a character above U+00FF";
    return std::nullopt;
  }
  if (!allow_nul && bytes->find('\0') != std::string::npos) {
    error = std::string("'") + field + "' holds a NUL character";
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

const char* OpName(Op op) {
  for (const auto& [known, name] : kOps) {
    if (known == op) return name;
  }
  return "?";
}

std::optional<Op> OpFromName(const std::string& name) {
  for (const auto& [op, known] : kOps) {
    if (name == known) return op;
  }
  return std::nullopt;
}

std::optional<std::string> Latin1FromUtf8(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      bytes.push_back(static_cast<char>(lead));
    } else if ((lead == 0xC2 || lead == 0xC3) && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      bytes.push_back(static_cast<char>(((lead & 0x1F) << 6) | (next & 0x3F)));
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return bytes;
}

std::string Utf8FromLatin1(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return text;
}

ParseOutcome ParseJob(const std::string& body) {
  if (body.size() > kLinesBodyLimit) return Bad(413, "the body is larger than 16 MiB");
  json document = json::parse(body, nullptr, false);
  if (document.is_discarded()) return Bad(400, "the body is not JSON");
  if (!document.is_object()) return Bad(400, "the body must be a JSON object");
  const auto op_field = document.find("op");
  if (op_field == document.end() || !op_field->is_string()) {
    return Bad(400,
               "'op' must be one of check, read_status, send, send_lines, upload_report, "
               "upload_status");
  }
  const auto op = OpFromName(op_field->get<std::string>());
  if (!op) {
    return Bad(400,
               "'op' must be one of check, read_status, send, send_lines, upload_report, "
               "upload_status");
  }
  if (*op != Op::kSendLines && body.size() > kBodyLimit) {
    return Bad(413, "the body is larger than 1 MiB");
  }
  JobRequest request;
  request.op = *op;
  std::string error;
  const char* field = nullptr;
  switch (*op) {
    case Op::kCheck:
    case Op::kReadStatus:
      break;
    case Op::kSend:
    case Op::kUploadReport:
    case Op::kUploadStatus: {
      field = "text";
      const auto text = document.find(field);
      if (text == document.end())
        return Bad(400, std::string("'") + OpName(*op) + "' needs 'text'");
      auto bytes = Bytes(*text, false, error, field);
      if (!bytes) return Bad(400, error);
      request.bytes = std::move(*bytes);
      break;
    }
    case Op::kSendLines: {
      field = "lines";
      const auto lines = document.find(field);
      if (lines == document.end()) return Bad(400, "'send_lines' needs 'lines'");
      if (lines->is_string()) {
        auto bytes = Bytes(*lines, true, error, field);
        if (!bytes) return Bad(400, error);
        request.bytes = std::move(*bytes);
      } else if (lines->is_array()) {
        for (const auto& line : *lines) {
          auto bytes = Bytes(line, true, error, "lines[]");
          if (!bytes) return Bad(400, error);
          request.bytes += *bytes;
          request.bytes += '\n';
        }
      } else {
        return Bad(400, "'lines' must be a string or an array of strings");
      }
      break;
    }
  }
  for (const auto& [key, value] : document.items()) {
    if (key != "op" && (field == nullptr || key != field)) {
      return Bad(400, "unknown field '" + key + "' for '" + OpName(*op) + "'");
    }
  }
  // nlohmann's objects keep their keys sorted: the dump is canonical.
  request.canonical = document.dump();
  ParseOutcome outcome;
  outcome.request = std::move(request);
  return outcome;
}

std::string ResultToJson(const JobResult& result) {
  json out = {{"ok", result.ok},
              {"value", result.value},
              {"status", result.status},
              {"error", result.error},
              {"error_text", result.error_text}};
  if (result.os_error != 0) out["os_error"] = result.os_error;
  if (!result.open_error.empty()) {
    out["open_error"] = result.open_error;
    out["open_error_text"] = result.open_error_text;
  }
  if (result.lines) {
    json lines = json::array();
    for (const auto& line : *result.lines) lines.push_back(Utf8FromLatin1(line));
    out["lines"] = std::move(lines);
  }
  return out.dump();
}

}  // namespace vexolant::service
