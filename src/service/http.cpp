#include "service/http.h"

#include <httplib.h>
#include <vexolant/vexolant.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "service/metrics.h"
#include "service/openapi.h"
#include "service/page.h"

namespace vexolant::service {

namespace {

using nlohmann::json;

void Error(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(json{{"error", message}}.dump(), "application/json");
}

void Json(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

json Time(double seconds) {
  if (seconds <= 0) return nullptr;
  return TimeText(seconds);
}

json JobJson(const JobRecord& record) {
  json job = {{"id", record.id},
              {"printer", record.printer},
              {"op", record.op},
              {"state", StateName(record.state)},
              {"accepted", Time(record.accepted)},
              {"started", Time(record.started)},
              {"finished", Time(record.finished)},
              {"source", record.source}};
  if (!record.remote_id.empty()) job["fleet_id"] = record.remote_id;
  if (record.state == JobState::kDone && !record.result.empty()) {
    job["result"] = json::parse(record.result, nullptr, false);
  }
  return job;
}

// The state needed by every handler.
struct Context {
  const Config& config;
  std::string token;
  Service& service;
  Journal& journal;
  std::set<std::string> hosts;    // accepted Host values
  std::set<std::string> origins;  // accepted Origin values
};

bool ValidKey(const std::string& key) {
  if (key.empty() || key.size() > 255) return false;
  return std::all_of(key.begin(), key.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

// The job id of a path, or 0 when it is none.
int64_t JobId(const std::string& digits) {
  if (digits.empty() || digits.size() > 18) return 0;
  return std::stoll(digits);
}

void ServeJob(Context& context, const httplib::Request& req, httplib::Response& res) {
  const int64_t id = JobId(req.matches[1]);
  if (req.has_param("wait")) {
    const std::string text = req.get_param_value("wait");
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(seconds) ||
        seconds < 0 || seconds > 60) {
      return Error(res, 400, "'wait' must be a number of seconds from 0 to 60");
    }
    if (id != 0) context.service.WaitFor(id, seconds);
  }
  const auto record = id != 0 ? context.journal.Find(id) : std::nullopt;
  if (!record) return Error(res, 404, "no such job");
  Json(res, 200, JobJson(*record));
}

void SubmitJob(Context& context, const httplib::Request& req, httplib::Response& res) {
  if (context.service.Stopping()) return Error(res, 503, "the service is shutting down");
  std::string key;
  if (req.has_header("Idempotency-Key")) {
    key = req.get_header_value("Idempotency-Key");
    if (!ValidKey(key)) {
      return Error(res, 400, "the Idempotency-Key must be 1 to 255 printable ASCII characters");
    }
  }
  const std::string printer = req.matches[1];
  const auto views = context.service.Printers();
  if (std::none_of(views.begin(), views.end(), [&](const auto& v) { return v.name == printer; })) {
    return Error(res, 404, "no printer named '" + printer + "'");
  }
  const ParseOutcome parsed = ParseJob(req.body);
  if (!parsed.request) return Error(res, parsed.status, parsed.error);
  const Submitted submitted = context.service.Submit(printer, *parsed.request, key);
  if (submitted.status != 202) return Error(res, submitted.status, submitted.error);
  const auto record = context.journal.Find(submitted.id);
  if (!record) return Error(res, 404, "no such job");
  res.set_header("Location", "/v1/jobs/" + std::to_string(submitted.id));
  Json(res, 202, JobJson(*record));
}

void ListPrinters(Context& context, httplib::Response& res) {
  json printers = json::array();
  for (const auto& view : context.service.Printers()) {
    json printer = PrinterJson(view);
    printer["port"] = view.port;
    printers.push_back(std::move(printer));
  }
  Json(res, 200, {{"printers", std::move(printers)}});
}

// Host, Origin, preflight and token: answered here when refused.
httplib::Server::HandlerResponse Guard(Context& context, const httplib::Request& req,
                                       httplib::Response& res) {
  using Handled = httplib::Server::HandlerResponse;
  if (context.hosts.count(req.get_header_value("Host")) == 0) {
    Error(res, 403, "the Host header names no address of this service");
    return Handled::Handled;
  }
  const bool has_origin = req.has_header("Origin");
  const std::string origin = req.get_header_value("Origin");
  if (has_origin) {
    if (context.origins.count(origin) == 0) {
      Error(res, 403, "origin not allowed");
      return Handled::Handled;
    }
    res.set_header("Access-Control-Allow-Origin", origin);
    res.set_header("Vary", "Origin");
    res.set_header("Access-Control-Expose-Headers", "Location");
  }
  if (req.method == "OPTIONS") {
    if (!has_origin) {
      Error(res, 400, "a preflight request needs an Origin");
      return Handled::Handled;
    }
    res.status = 204;
    res.set_header("Access-Control-Allow-Methods", "GET, POST, DELETE");
    res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type, Idempotency-Key");
    res.set_header("Access-Control-Max-Age", "600");
    return Handled::Handled;
  }
  if (req.path == "/v1/health" || req.path == "/") return Handled::Unhandled;
  const std::string authorization = req.get_header_value("Authorization");
  const std::string prefix = "Bearer ";
  if (authorization.compare(0, prefix.size(), prefix) != 0 ||
      !SameSecret(authorization.substr(prefix.size()), context.token)) {
    res.set_header("WWW-Authenticate", "Bearer");
    Error(res, 401, "a valid bearer token is needed");
    return Handled::Handled;
  }
  return Handled::Unhandled;
}

}  // namespace

json PrinterJson(const PrinterView& view) {
  json printer = {{"name", view.name},
                  {"state", view.state},
                  {"queued", view.queued},
                  {"last_status", nullptr}};
  if (view.has_status) {
    printer["last_status"] = {{"status", view.status},
                              {"error", view.error},
                              {"error_text", vexolant_error_text(view.error)},
                              {"at", Time(view.status_at)}};
  }
  return printer;
}

std::string TimeText(double seconds) {
  const auto whole = static_cast<std::time_t>(seconds);
  const int millis = static_cast<int>((seconds - static_cast<double>(whole)) * 1000);
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                std::min(millis, 999));
  return text;
}

bool SameSecret(const std::string& a, const std::string& b) {
  // Every byte of the longer one is looked at, whatever the contents.
  const size_t length = std::max(a.size(), b.size());
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < length; ++i) {
    const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
    const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    difference = static_cast<unsigned char>(difference | (x ^ y));
  }
  return difference == 0;
}

void InstallApi(httplib::Server& server, const Config& config, int port, const std::string& token,
                Service& service, Journal& journal) {
  auto context = std::make_shared<Context>(Context{config, token, service, journal, {}, {}});
  const std::string suffix = ":" + std::to_string(port);
  std::vector<std::string> names = {config.listen_host, "localhost", "127.0.0.1"};
  if (config.listen_host.find(':') != std::string::npos) names[0] = "[" + config.listen_host + "]";
  if (config.listen_host != "127.0.0.1") names.pop_back();
  for (const auto& extra : config.allowed_hosts) names.push_back(extra);
  for (const auto& name : names) {
    context->hosts.insert(name + suffix);
    if (port == 80) context->hosts.insert(name);
    // The page the service serves is its own origin.
    context->origins.insert("http://" + name + suffix);
  }
  for (const auto& origin : config.allowed_origins) context->origins.insert(origin);

  server.set_payload_max_length(kLinesBodyLimit);
  server.set_read_timeout(config.connection_timeout_s, 0);
  server.set_write_timeout(config.connection_timeout_s, 0);
  server.set_keep_alive_timeout(config.connection_timeout_s);
  server.set_keep_alive_max_count(100);
  const auto threads = static_cast<size_t>(config.max_connections);
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };

  server.set_pre_routing_handler([context](const httplib::Request& req, httplib::Response& res) {
    return Guard(*context, req, res);
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    const char* message = res.status == 404   ? "not found"
                          : res.status == 413 ? "the body is too large"
                          : res.status == 400 ? "bad request"
                                              : "the request cannot be served";
    Error(res, res.status, message);
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string message = "internal error";
        try {
          std::rethrow_exception(error);
        } catch (const JournalError& journal_error) {
          message = journal_error.what();
        } catch (const std::exception& other) {
          message = other.what();
        } catch (...) {
        }
        Error(res, 503, message);
      });

  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'");
    res.set_header("X-Frame-Options", "DENY");
    res.set_content(kStatusPage, "text/html; charset=utf-8");
  });
  server.Get("/v1/health", [](const httplib::Request&, httplib::Response& res) {
    Json(res, 200, {{"ok", true}, {"version", vexolant_version()}});
  });
  server.Get("/v1/openapi.json", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kOpenApiJson, "application/json");
  });
  server.Get("/metrics", [context](const httplib::Request&, httplib::Response& res) {
    res.set_content(MetricsText(context->service), "text/plain; version=0.0.4; charset=utf-8");
  });
  server.Get("/v1/printers", [context](const httplib::Request&, httplib::Response& res) {
    ListPrinters(*context, res);
  });
  server.Post(R"(/v1/printers/([^/]+)/jobs)",
              [context](const httplib::Request& req, httplib::Response& res) {
                SubmitJob(*context, req, res);
              });
  server.Get("/v1/jobs", [context](const httplib::Request& req, httplib::Response& res) {
    int limit = 20;
    if (req.has_param("limit")) {
      const std::string text = req.get_param_value("limit");
      if (text.empty() || text.size() > 3 ||
          text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < 1 ||
          std::stoi(text) > 100) {
        return Error(res, 400, "'limit' must be from 1 to 100");
      }
      limit = std::stoi(text);
    }
    json jobs = json::array();
    for (const auto& record : context->journal.Latest(limit)) jobs.push_back(JobJson(record));
    Json(res, 200, {{"jobs", std::move(jobs)}});
  });
  server.Get(R"(/v1/jobs/(\d+))", [context](const httplib::Request& req, httplib::Response& res) {
    ServeJob(*context, req, res);
  });
  server.Delete(R"(/v1/jobs/(\d+))",
                [context](const httplib::Request& req, httplib::Response& res) {
                  const int64_t id = JobId(req.matches[1]);
                  const int status = id != 0 ? context->service.Cancel(id) : 404;
                  if (status == 404) return Error(res, 404, "no such job");
                  if (status == 409) return Error(res, 409, "the job is running or over");
                  const auto record = context->journal.Find(id);
                  if (!record) return Error(res, 404, "no such job");
                  Json(res, 200, JobJson(*record));
                });
}

}  // namespace vexolant::service
