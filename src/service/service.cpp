#include "service/service.h"

#include <vexolant/vexolant.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vexolant::service {

namespace {

constexpr double kPruneEvery = 60;

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// An upload's file: one line per block, CR LF after each.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Service::Service(const Config& config, Journal& journal) : config_(config), journal_(journal) {
  for (size_t i = 0; i < config.printers.size(); ++i) {
    auto printer = std::make_unique<Printer>();
    printer->config = config.printers[i];
    printer->index = i;
    printers_.push_back(std::move(printer));
  }
}

Service::~Service() {
  BeginShutdown();
  Join();
}

int Service::Start() {
  const double now = Now();
  const int unknown = journal_.MarkRunningUnknown(now);
  journal_.Prune(now - static_cast<double>(config_.retention_s));
  last_prune_ = now;
  for (const auto& record : journal_.Queued()) {
    bool placed = false;
    for (auto& printer : printers_) {
      if (printer->config.name == record.printer) {
        printer->queue.push_back(record.id);
        active_.insert(record.id);
        placed = true;
      }
    }
    if (!placed) {
      // Its printer left the configuration: it can never run.
      journal_.Cancel(record.id, now);
      std::fprintf(stderr, "vexolantd: job %lld cancelled: printer '%s' is not configured\n",
                   static_cast<long long>(record.id), record.printer.c_str());
    }
  }
  for (auto& printer : printers_) {
    Printer* self = printer.get();
    printer->thread = std::thread([this, self] { Work(*self); });
  }
  return unknown;
}

Submitted Service::Submit(const std::string& name, const JobRequest& request,
                          const std::string& key, const JobOrigin& origin) {
  Submitted answer;
  std::lock_guard lock(mutex_);
  if (stopping_) {
    answer.status = 503;
    answer.error = "the service is shutting down";
    return answer;
  }
  Printer* printer = nullptr;
  for (auto& candidate : printers_) {
    if (candidate->config.name == name) printer = candidate.get();
  }
  if (printer == nullptr) {
    answer.status = 404;
    answer.error = "no printer named '" + name + "'";
    return answer;
  }
  // A job known by its key or its head office's id: that job when it is the
  // same, 422 when not.
  const auto earlier = !key.empty()                ? journal_.FindByKey(key)
                       : !origin.remote_id.empty() ? journal_.FindByRemote(origin.remote_id)
                                                   : std::nullopt;
  if (earlier) {
    if (earlier->printer != name || earlier->request != request.canonical ||
        earlier->expires != origin.expires) {
      answer.status = 422;
      answer.error = !key.empty() ? "the Idempotency-Key was used for another job"
                                  : "the id was used for another job";
      return answer;
    }
    answer.status = 202;
    answer.id = earlier->id;
    answer.earlier = true;
    return answer;
  }
  if (printer->queue.size() >= kQueueLimit) {
    answer.status = 503;
    answer.error = "the printer's queue is full";
    return answer;
  }
  answer.id = journal_.Insert(name, OpName(request.op), request.canonical, key, Now(), origin);
  answer.status = 202;
  printer->queue.push_back(answer.id);
  active_.insert(answer.id);
  work_.notify_all();
  Notify(answer.id);
  return answer;
}

int Service::Cancel(int64_t id) {
  std::lock_guard lock(mutex_);
  for (auto& printer : printers_) {
    for (auto it = printer->queue.begin(); it != printer->queue.end(); ++it) {
      if (*it != id) continue;
      if (!journal_.Cancel(id, Now())) return 409;
      const auto record = journal_.Find(id);
      if (record) Count(record->source, record->op, "cancelled", -1);
      printer->queue.erase(it);
      active_.erase(id);
      finished_.notify_all();
      Notify(id);
      return 200;
    }
  }
  return journal_.Find(id) ? 409 : 404;
}

void Service::WaitFor(int64_t id, double seconds) {
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
  finished_.wait_until(lock, deadline, [&] { return closed_ || active_.count(id) == 0; });
}

std::vector<PrinterView> Service::Printers() {
  std::lock_guard lock(mutex_);
  std::vector<PrinterView> views;
  for (const auto& printer : printers_) {
    PrinterView view;
    view.name = printer->config.name;
    view.port = printer->config.port;
    view.state = printer->running != 0 ? "busy" : printer->offline ? "offline" : "idle";
    view.queued = static_cast<int64_t>(printer->queue.size());
    view.has_status = printer->has_status;
    view.status = printer->status;
    view.error = printer->error;
    view.status_at = printer->status_at;
    views.push_back(std::move(view));
  }
  return views;
}

void Service::Count(const std::string& source, const std::string& op, const char* outcome,
                    double seconds) {
  ++tallies_[{source, op, outcome}];
  if (seconds < 0) return;  // never ran
  ++durations_.runs;
  durations_.seconds += seconds;
  for (size_t i = 0; i < Tallies::kBounds.size(); ++i) {
    if (seconds <= Tallies::kBounds[i]) ++durations_.buckets[i];
  }
}

Tallies Service::Tally() {
  std::lock_guard lock(mutex_);
  Tallies tallies = durations_;
  for (const auto& [key, count] : tallies_) {
    tallies.jobs.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), count});
  }
  return tallies;
}

bool Service::Stopping() {
  std::lock_guard lock(mutex_);
  return stopping_;
}

void Service::BeginShutdown() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  work_.notify_all();
}

void Service::Join() {
  for (auto& printer : printers_) {
    if (printer->thread.joinable()) printer->thread.join();
  }
  std::lock_guard lock(mutex_);
  closed_ = true;
  finished_.notify_all();
}

std::string Service::StatePath(const Printer& printer, const char* what) const {
  // Named by the printer's place in the configuration: nothing of a request
  // reaches a path.
  return config_.state_directory + "/" + what + "-" + std::to_string(printer.index) + ".txt";
}

void Service::MaybePrune() {
  const double now = Now();
  {
    std::lock_guard lock(mutex_);
    if (now - last_prune_ < kPruneEvery) return;
    last_prune_ = now;
  }
  journal_.Prune(now - static_cast<double>(config_.retention_s));
}

void Service::Work(Printer& printer) {
  const auto health_every = std::chrono::seconds(config_.health_interval_s);
  auto last_health = std::chrono::steady_clock::now();
  for (;;) {
    int64_t id = 0;
    {
      std::unique_lock lock(mutex_);
      const auto ready = [&] { return stopping_ || !printer.queue.empty(); };
      if (health_every.count() > 0) {
        work_.wait_until(lock, last_health + health_every, ready);
      } else {
        work_.wait(lock, ready);
      }
      if (stopping_) break;
      if (!printer.queue.empty()) {
        id = printer.queue.front();
        printer.queue.pop_front();
        printer.running = id;
      }
    }
    if (id == 0) {
      // An idle printer's health check: its status, not a job.
      JobRequest status;
      status.op = Op::kReadStatus;
      Run(printer, status);
      if (printer.port != nullptr) {
        vexolant_close(printer.port);
        printer.port = nullptr;
      }
      last_health = std::chrono::steady_clock::now();
      Notify(0);
      continue;
    }
    Notify(id);
    JobResult result;
    bool ran = false;
    std::string source = "http";
    std::string op = "?";
    const char* outcome = nullptr;
    const auto began = std::chrono::steady_clock::now();
    try {
      const auto record = journal_.Find(id);
      if (record) {
        source = record->source;
        op = record->op;
      }
      ParseOutcome parsed;
      if (record) parsed = ParseJob(record->request);
      if (record && record->expires > 0 && Now() > record->expires) {
        // Its turn came too late: never sent.
        journal_.Expire(id, Now());
        outcome = "expired";
      } else {
        // Marked running, durably, before a byte goes to the printer.
        journal_.SetRunning(id, Now());
        if (parsed.request) {
          result = Run(printer, *parsed.request);
        } else {
          result.error = 153;
          result.error_text = "the journal holds a job that cannot be read";
        }
        ran = true;
        journal_.Finish(id, ResultToJson(result), Now());
        outcome = result.ok ? "ok" : "failed";
      }
    } catch (const std::exception& error) {
      // The journal failed: the job stays as it is recorded (queued or
      // running, which the next start reports as unknown).
      std::fprintf(stderr, "vexolantd: job %lld: %s%s\n", static_cast<long long>(id), error.what(),
                   ran ? " (after it ran)" : "");
    }
    bool close = false;
    {
      std::lock_guard lock(mutex_);
      printer.running = 0;
      if (outcome != nullptr) {
        Count(source, op, outcome,
              ran ? std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count()
                  : -1);
      }
      active_.erase(id);
      finished_.notify_all();
      close = printer.queue.empty() || stopping_;
    }
    Notify(id);
    last_health = std::chrono::steady_clock::now();
    if (close && printer.port != nullptr) {
      vexolant_close(printer.port);
      printer.port = nullptr;
    }
    try {
      MaybePrune();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "vexolantd: %s\n", error.what());
    }
  }
  if (printer.port != nullptr) {
    vexolant_close(printer.port);
    printer.port = nullptr;
  }
}

JobResult Service::Run(Printer& printer, const JobRequest& request) {
  JobResult result;
  if (printer.port == nullptr) {
    vexolant_options options;
    vexolant_options_init(&options);
    options.read_end = printer.config.complete ? VEXOLANT_READ_END_COMPLETE : VEXOLANT_READ_END_GAP;
    options.busy_wait_ms = printer.config.port_wait_ms;
    const int32_t failure =
        vexolant_open_with(printer.config.port.c_str(), &options, &printer.port);
    if (failure != 0) {
      printer.port = nullptr;
      {
        std::lock_guard lock(mutex_);
        printer.offline = true;
      }
      const int32_t reason = vexolant_open_error(printer.config.port.c_str());
      result.error = VEXOLANT_ERR_PORT;
      result.os_error = failure;
      result.open_error = vexolant_open_error_name(reason);
      result.open_error_text =
          reason == VEXOLANT_OPEN_OTHER ? std::strerror(failure) : vexolant_open_error_text(reason);
      result.error_text = "the port could not be opened: " + result.open_error_text;
      return result;
    }
  }
  int32_t value = 0;
  switch (request.op) {
    case Op::kCheck:
      value = vexolant_check(printer.port);
      break;
    case Op::kReadStatus:
      value = vexolant_read_status(printer.port, &result.status, &result.error);
      if (value != 0) {
        std::lock_guard lock(mutex_);
        printer.has_status = true;
        printer.status = result.status;
        printer.error = result.error;
        printer.status_at = Now();
      }
      break;
    case Op::kSend:
      value = vexolant_send(printer.port, request.bytes.c_str(), &result.status, &result.error);
      break;
    case Op::kSendLines:
      value = vexolant_send_lines(printer.port, request.bytes.data(), request.bytes.size(),
                                  &result.status, &result.error);
      break;
    case Op::kUploadReport:
    case Op::kUploadStatus: {
      const std::string path = StatePath(printer, "upload");
      value = request.op == Op::kUploadReport
                  ? vexolant_upload_report(printer.port, request.bytes.c_str(), path.c_str(),
                                           &result.status, &result.error)
                  : vexolant_upload_status(printer.port, request.bytes.c_str(), path.c_str(),
                                           &result.status, &result.error);
      result.lines = SplitLines(ReadWhole(path));
      std::remove(path.c_str());
      break;
    }
  }
  result.value = value;
  if (result.error == VEXOLANT_ERR_PORT) result.os_error = vexolant_os_error(printer.port);
  // A tcp:// server tells that it serves another client only at the first
  // exchange: when it kept the job away for the whole port wait, the job
  // says so as for a port that did not open.
  if (result.error == VEXOLANT_ERR_PORT &&
      vexolant_open_error(printer.config.port.c_str()) == VEXOLANT_OPEN_SERVER_BUSY) {
    result.open_error = vexolant_open_error_name(VEXOLANT_OPEN_SERVER_BUSY);
    result.open_error_text = vexolant_open_error_text(VEXOLANT_OPEN_SERVER_BUSY);
  }
  result.ok = request.op == Op::kSendLines ? result.error == 0 && value > 0 : value != 0;
  result.error_text = vexolant_error_text(result.error);
  {
    std::lock_guard lock(mutex_);
    printer.offline = result.error == VEXOLANT_ERR_PORT || result.error == VEXOLANT_ERR_NO_ANSWER;
  }
  return result;
}

}  // namespace vexolant::service
