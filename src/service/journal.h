// The job journal: one SQLite database in WAL mode with synchronous=FULL, so
// that a job is on the disk before the API answers 202 and every change of
// state survives a crash or a power cut. One connection, used by one thread
// at a time (the journal's own lock).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace vexolant::service {

enum class JobState { kQueued, kRunning, kDone, kCancelled, kUnknown, kExpired };
const char* StateName(JobState state);

struct JobRecord {
  int64_t id = 0;
  std::string printer;
  std::string op;
  std::string request;  // the canonical body
  std::string key;      // the idempotency key, or empty
  JobState state = JobState::kQueued;
  double accepted = 0;          // seconds since the epoch
  double started = 0;           // 0 when not yet
  double finished = 0;          // 0 when not yet
  std::string result;           // the result's JSON when done, else empty
  std::string source = "http";  // who sent it: http or fleet
  std::string remote_id;        // fleet: the head office's id
  double expires = 0;           // fleet: not run after this time; 0 when never
  bool event_pending = false;   // fleet: its last event is not yet acknowledged by the broker
};

// Where a job came from, for the journal.
struct JobOrigin {
  std::string source = "http";
  std::string remote_id;
  double expires = 0;
};

inline bool Terminal(JobState state) {
  return state != JobState::kQueued && state != JobState::kRunning;
}

class JournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Journal {
 public:
  // Opens (or makes) the journal; throws JournalError.
  explicit Journal(const std::string& path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // After a start: every job left running becomes unknown (it may or may not
  // have reached the printer). Returns how many.
  int MarkRunningUnknown(double now);
  // The queued jobs, in the order they were accepted.
  std::vector<JobRecord> Queued();

  // Records a new queued job and returns its id; durable on return.
  int64_t Insert(const std::string& printer, const std::string& op, const std::string& request,
                 const std::string& key, double now, const JobOrigin& origin = {});
  std::optional<JobRecord> Find(int64_t id);
  std::optional<JobRecord> FindByKey(const std::string& key);
  // A job from the fleet link, by the head office's id.
  std::optional<JobRecord> FindByRemote(const std::string& remote_id);
  // Fleet jobs whose terminal event the broker has not acknowledged, oldest
  // first.
  std::vector<JobRecord> PendingEvents();
  // The broker acknowledged the job's terminal event.
  void EventDelivered(int64_t id);
  // The newest jobs first.
  std::vector<JobRecord> Latest(int limit);

  void SetRunning(int64_t id, double now);
  void Finish(int64_t id, const std::string& result, double now);
  // Cancels a queued job; false when it is not queued.
  bool Cancel(int64_t id, double now);
  // A queued job whose turn came after its expiry time: never run.
  void Expire(int64_t id, double now);
  // Removes finished jobs (done, cancelled, unknown, expired) that finished before
  // the time given. Returns how many.
  int Prune(double before);

 private:
  void Exec(const char* sql);
  void Migrate();
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

}  // namespace vexolant::service
