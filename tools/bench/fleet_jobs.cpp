// The head office's side of the fleet benchmark (tools/bench/fleet.py):
// check jobs through the broker, on the same MQTT library as vexolant-fleet.
//   latency: one job at a time to the first site, N times; prints each
//            job's time from its publish to its done event, in ms, a line each
//   rate:    N jobs to every site at once; prints the seconds until the last
//            done event
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "client.h"

namespace {

using nlohmann::json;
using vexolant::fleet::Client;
using vexolant::fleet::Clock;
using vexolant::fleet::Options;

int Usage() {
  std::fprintf(stderr,
               "usage: vexolant-bench-fleet --broker URL --username U --password-file F\n"
               "         --sites A,B,... --printer P --jobs N latency|rate\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<std::string> sites;
  std::string printer = "front";
  std::string mode;
  int jobs = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--broker" && more) {
      options.broker = argv[++i];
    } else if (arg == "--username" && more) {
      options.username = argv[++i];
    } else if (arg == "--password-file" && more) {
      options.password_file = argv[++i];
    } else if (arg == "--sites" && more) {
      std::stringstream list(argv[++i]);
      for (std::string site; std::getline(list, site, ',');) sites.push_back(site);
    } else if (arg == "--printer" && more) {
      printer = argv[++i];
    } else if (arg == "--jobs" && more) {
      jobs = std::atoi(argv[++i]);
    } else if (arg == "latency" || arg == "rate") {
      mode = arg;
    } else {
      return Usage();
    }
  }
  if (sites.empty() || mode.empty() || jobs < 1) return Usage();

  std::mutex mutex;
  std::condition_variable arrived;
  std::set<std::string> done;
  // Only this run's jobs count, each once however often its event comes.
  const std::string run =
      "bench-" + std::to_string(getpid()) + "-" + std::to_string(std::time(nullptr)) + "-";
  Client client(options, [&](const std::string&, const std::string& text) {
    const auto event = json::parse(text, nullptr, false);
    if (!event.is_object() || event.value("state", "") != "done") return;
    const std::string id = event.value("id", "");
    if (id.rfind(run, 0) != 0) return;
    std::lock_guard lock(mutex);
    done.insert(id);
    arrived.notify_all();
  });
  if (!client.Open(options.prefix + "/+/" + printer + "/events", 10)) return 3;
  const auto publish = [&](const std::string& site, const std::string& id) {
    return client.Publish(options.prefix + "/" + site + "/" + printer + "/jobs",
                          json{{"id", id}, {"op", "check"}}.dump(), {}, 10);
  };
  const auto wait_for = [&](const std::vector<std::string>& ids) {
    std::unique_lock lock(mutex);
    // The count first: a full look over the ids once per event would cost
    // the head office more than the sites it measures.
    return arrived.wait_for(lock, std::chrono::seconds(120), [&] {
      return done.size() >= ids.size() &&
             std::all_of(ids.begin(), ids.end(), [&](const auto& id) { return done.count(id); });
    });
  };
  if (mode == "latency") {
    for (int n = 0; n < jobs; ++n) {
      const std::string id = run + std::to_string(n);
      const auto start = Clock::now();
      if (!publish(sites[0], id) || !wait_for({id})) return 3;
      std::printf("%.3f\n",
                  std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return 0;
  }
  std::vector<std::string> ids;
  const auto start = Clock::now();
  for (int n = 0; n < jobs; ++n) {
    for (const auto& site : sites) {
      ids.push_back(run + site + "-" + std::to_string(n));
      if (!publish(site, ids.back())) return 3;
    }
  }
  if (!wait_for(ids)) return 3;
  std::printf("%.3f\n", std::chrono::duration<double>(Clock::now() - start).count());
  return 0;
}
