// The queues: one worker thread per printer runs that printer's jobs one at
// a time, in the order they were accepted; printers run in parallel. A
// worker opens its port for a job and closes it when its queue is empty, so
// that other programs (the console tool) can use the port between jobs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/config.h"
#include "service/job.h"
#include "service/journal.h"

struct vexolant_port;

namespace vexolant::service {

double Now();

// What a printer looks like from outside, for GET /v1/printers.
struct PrinterView {
  std::string name;
  std::string port;
  std::string state;  // idle, busy, offline
  int64_t queued = 0;
  bool has_status = false;
  int32_t status = 0;
  int32_t error = 0;
  double status_at = 0;
};

// The answer to a submission.
struct Submitted {
  int status = 0;  // 202, 404, 422, 503
  int64_t id = 0;
  std::string error;
  bool earlier = false;  // the job was known by its key or its head office's id
};

class Service {
 public:
  // Jobs waiting per printer at most; more are refused with 503.
  static constexpr size_t kQueueLimit = 10000;

  Service(const Config& config, Journal& journal);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Recovers the journal (running jobs become unknown, queued ones are
  // queued again, old ones removed) and starts the workers. Returns the
  // number of jobs found running.
  int Start();

  // Records the job in the journal (durable on return) and queues it. With
  // a key, a job with that key is returned instead when its printer and
  // body are the same (422 otherwise); the same for the head office's id of
  // a fleet job (and its expiry time).
  Submitted Submit(const std::string& printer, const JobRequest& request, const std::string& key,
                   const JobOrigin& origin = {});
  // Told of every change: a job's id when it was queued, started or ended,
  // 0 when only a printer's state or status changed. Called with the
  // service's lock held or from a worker: it must not call the service.
  // Set before Start.
  void SetObserver(std::function<void(int64_t)> observer) { observer_ = std::move(observer); }
  // Cancels a queued job: 200, 404 unknown, 409 running or over.
  int Cancel(int64_t id);
  // Waits until the job is over (neither queued nor running), the deadline
  // passes or the service closes.
  void WaitFor(int64_t id, double seconds);

  std::vector<PrinterView> Printers();
  bool Stopping();

  // SIGTERM: no new jobs; each worker finishes the job it runs and ends;
  // queued jobs stay in the journal for the next start.
  void BeginShutdown();
  // Waits for the workers, then wakes every waiting request.
  void Join();

 private:
  struct Printer {
    PrinterConfig config;
    size_t index = 0;
    std::deque<int64_t> queue;
    int64_t running = 0;
    bool offline = false;
    bool has_status = false;
    int32_t status = 0;
    int32_t error = 0;
    double status_at = 0;
    vexolant_port* port = nullptr;
    std::thread thread;
  };

  void Work(Printer& printer);
  JobResult Run(Printer& printer, const JobRequest& request);
  std::string StatePath(const Printer& printer, const char* what) const;
  void MaybePrune();
  void Notify(int64_t id) {
    if (observer_) observer_(id);
  }

  const Config& config_;
  Journal& journal_;
  std::vector<std::unique_ptr<Printer>> printers_;
  std::mutex mutex_;
  std::condition_variable work_;      // workers: a job queued, or stopping
  std::condition_variable finished_;  // waiters: a job ended, or closed
  std::set<int64_t> active_;          // queued or running
  bool stopping_ = false;
  bool closed_ = false;
  double last_prune_ = 0;
  std::function<void(int64_t)> observer_;
};

}  // namespace vexolant::service
