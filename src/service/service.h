// The queues: one worker thread per printer runs that printer's jobs one at
// a time, in the order they were accepted; printers run in parallel. A
// worker opens its port for a job and closes it when its queue is empty, so
// that other programs (the console tool) can use the port between jobs.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
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

// Jobs that ended since the start, for the metrics.
struct JobTally {
  std::string source;
  std::string op;
  std::string outcome;  // ok, failed, expired, cancelled
  int64_t count = 0;
};

struct Tallies {
  // The upper bounds of the job duration histogram's buckets, in seconds.
  static constexpr std::array<double, 10> kBounds{0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
  std::vector<JobTally> jobs;
  std::array<int64_t, kBounds.size()> buckets{};  // cumulative, as Prometheus has them
  int64_t runs = 0;
  double seconds = 0;
};

// The fleet link as the metrics show it.
struct LinkState {
  bool connected = false;
  int64_t events_waiting = 0;
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
  Tallies Tally();
  // The fleet link's state, when there is one (set before Start).
  void SetLinkState(std::function<LinkState()> link) { link_ = std::move(link); }
  std::optional<LinkState> Link() {
    if (!link_) return std::nullopt;
    return link_();
  }
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
  void Count(const std::string& source, const std::string& op, const char* outcome,
             double seconds);  // with the lock held
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
  std::function<LinkState()> link_;
  std::map<std::tuple<std::string, std::string, std::string>, int64_t> tallies_;
  Tallies durations_;
};

}  // namespace vexolant::service
