#include "service/metrics.h"

#include <cstdio>
#include <sstream>

namespace vexolant::service {

namespace {

// A label value: backslash, double quote and line feed escaped. Printer
// names and ops need none, but this keeps the text well formed whatever.
std::string Label(const std::string& value) {
  std::string text;
  for (const char c : value) {
    if (c == '\\' || c == '"') text.push_back('\\');
    if (c == '\n') {
      text += "\\n";
      continue;
    }
    text.push_back(c);
  }
  return text;
}

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

std::string MetricsText(Service& service) {
  std::ostringstream out;
  const Tallies tallies = service.Tally();
  out << "# HELP vexolant_jobs_total Jobs that ended since the start, by source, op and outcome.\n"
         "# TYPE vexolant_jobs_total counter\n";
  for (const auto& job : tallies.jobs) {
    out << "vexolant_jobs_total{source=\"" << Label(job.source) << "\",op=\"" << Label(job.op)
        << "\",outcome=\"" << Label(job.outcome) << "\"} " << job.count << "\n";
  }
  out << "# HELP vexolant_job_duration_seconds How long jobs ran, from their start to their end.\n"
         "# TYPE vexolant_job_duration_seconds histogram\n";
  for (size_t i = 0; i < Tallies::kBounds.size(); ++i) {
    out << "vexolant_job_duration_seconds_bucket{le=\"" << Number(Tallies::kBounds[i]) << "\"} "
        << tallies.buckets[i] << "\n";
  }
  out << "vexolant_job_duration_seconds_bucket{le=\"+Inf\"} " << tallies.runs << "\n"
      << "vexolant_job_duration_seconds_sum " << Number(tallies.seconds) << "\n"
      << "vexolant_job_duration_seconds_count " << tallies.runs << "\n";

  const auto printers = service.Printers();
  out << "# HELP vexolant_queue_jobs Jobs waiting in each printer's queue.\n"
         "# TYPE vexolant_queue_jobs gauge\n";
  for (const auto& printer : printers) {
    out << "vexolant_queue_jobs{printer=\"" << Label(printer.name) << "\"} " << printer.queued
        << "\n";
  }
  out << "# HELP vexolant_printer_state Each printer's state: 1 for the one it is in.\n"
         "# TYPE vexolant_printer_state gauge\n";
  for (const auto& printer : printers) {
    for (const char* state : {"idle", "busy", "offline"}) {
      out << "vexolant_printer_state{printer=\"" << Label(printer.name) << "\",state=\"" << state
          << "\"} " << (printer.state == state ? 1 : 0) << "\n";
    }
  }
  out << "# HELP vexolant_printer_status_error The error of each printer's last status read.\n"
         "# TYPE vexolant_printer_status_error gauge\n";
  for (const auto& printer : printers) {
    if (!printer.has_status) continue;
    out << "vexolant_printer_status_error{printer=\"" << Label(printer.name) << "\"} "
        << printer.error << "\n";
  }
  if (const auto link = service.Link()) {
    out << "# HELP vexolant_fleet_connected Whether the fleet link is connected to its broker.\n"
           "# TYPE vexolant_fleet_connected gauge\n"
        << "vexolant_fleet_connected " << (link->connected ? 1 : 0) << "\n"
        << "# HELP vexolant_fleet_events_waiting Terminal events the broker has not "
           "acknowledged yet.\n"
           "# TYPE vexolant_fleet_events_waiting gauge\n"
        << "vexolant_fleet_events_waiting " << link->events_waiting << "\n";
  }
  return out.str();
}

}  // namespace vexolant::service
