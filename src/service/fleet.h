// The fleet link: the site dials out to a head office's MQTT 5 broker,
// takes jobs from P/S/N/jobs into the same queues and journal as the HTTP
// API, answers each with events on P/S/N/events and keeps a retained status
// on P/S/status (with a last will saying the site is offline).
//
// A job's message is acknowledged only once the job is in the journal; a job
// id the site knows is answered with that job's latest state and never run
// again. Terminal events stay in the journal until the broker acknowledges
// them and are published again after a reconnect or a restart.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "service/config.h"
#include "service/journal.h"
#include "service/service.h"

namespace vexolant::service {

class FleetLink {
 public:
  // Reads the password and job key files; throws ConfigError.
  FleetLink(const Config& config, Service& service, Journal& journal);
  ~FleetLink();
  FleetLink(const FleetLink&) = delete;
  FleetLink& operator=(const FleetLink&) = delete;

  // Connects in the background, and again whenever the connection is lost.
  // Call after the service is told of its observer (Attach) and started.
  void Start();
  // Publishes the offline status, disconnects and ends the link's thread.
  void Stop();
  // The observer to give the service before it starts.
  void OnChange(int64_t job);

  bool Connected();
  // Terminal events of fleet jobs the broker has not acknowledged yet.
  size_t EventsWaiting();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexolant::service
