// vexolant-fleet: the head office's side of the fleet link, for scripts and
// for trying it. `send` publishes a job to a site's printer and re-sends it,
// same id and body, until its terminal event arrives (the rule that makes
// every loss on the way harmless); `status` prints every site's retained
// status.
#include <MQTTAsync.h>
#include <unistd.h>
#include <vexolant/vexolant.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "client.h"
#include "service/fleet_wire.h"

namespace {

using nlohmann::ordered_json;
using vexolant::fleet::Client;
using vexolant::fleet::Clock;
using vexolant::fleet::FirstLine;
using vexolant::fleet::Options;
namespace wire = vexolant::service;

constexpr int kExitDone = 0;
constexpr int kExitNotOk = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAnswer = 3;

void Usage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: vexolant-fleet [OPTIONS] send SITE PRINTER JSON [--id ID] [--key FILE] [--wait S]\n"
      "                                [--every S]\n"
      "       vexolant-fleet [OPTIONS] status [--wait S]\n"
      "options:\n"
      "  --broker URL          mqtt://HOST:PORT or mqtts://HOST:PORT (default\n"
      "                        $VEXOLANT_FLEET_BROKER, else mqtt://127.0.0.1:1883)\n"
      "  --username NAME       the broker's user\n"
      "  --password-file FILE  its password, the file's first line\n"
      "  --ca-file FILE        mqtts: the CA of the broker's certificate\n"
      "  --cert-file FILE      mqtts: a client certificate (with --key-file)\n"
      "  --key-file FILE\n"
      "  --topic-prefix P      the topics' prefix (default vexolant/v1)\n");
}

bool Terminal(const std::string& state) {
  return state == "done" || state == "unknown" || state == "expired" || state == "cancelled" ||
         state == "rejected";
}

double Seconds(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0) || value > 86400 * 7) {
    std::fprintf(stderr, "vexolant-fleet: '%s' is no number of seconds\n", text);
    std::exit(kExitUsage);
  }
  return value;
}

int Send(const Options& options, int argc, char** argv) {
  if (argc < 3) {
    Usage(stderr);
    return kExitUsage;
  }
  const std::string site = argv[0];
  const std::string printer = argv[1];
  ordered_json job = ordered_json::parse(argv[2], nullptr, false);
  if (!job.is_object()) {
    std::fprintf(stderr, "vexolant-fleet: the job must be a JSON object\n");
    return kExitUsage;
  }
  std::string id;
  std::string key;
  double wait_s = 60;
  double every_s = 5;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--id" && i + 1 < argc) {
      id = argv[++i];
    } else if (arg == "--key" && i + 1 < argc) {
      key = FirstLine(argv[++i]);
    } else if (arg == "--wait" && i + 1 < argc) {
      wait_s = Seconds(argv[++i]);
    } else if (arg == "--every" && i + 1 < argc) {
      every_s = Seconds(argv[++i]);
    } else {
      Usage(stderr);
      return kExitUsage;
    }
  }
  if (id.empty() && job.contains("id") && job["id"].is_string()) id = job["id"].get<std::string>();
  if (id.empty()) {
    // A fresh id: the time and some randomness, unique enough per site.
    std::random_device seed;
    id = "fleet-" + std::to_string(std::time(nullptr)) + "-" +
         std::to_string(std::uniform_int_distribution<int>(0, 1 << 30)(seed));
  }
  if (!wire::ValidJobId(id)) {
    std::fprintf(stderr, "vexolant-fleet: the id must be 1 to 64 letters, digits, . _ - :\n");
    return kExitUsage;
  }
  // The id first, then the job's own fields as given.
  ordered_json message = {{"id", id}};
  for (auto& [field, value] : job.items()) {
    if (field != "id") message[field] = value;
  }
  const std::string payload = message.dump();
  std::vector<std::pair<std::string, std::string>> properties;
  if (!key.empty()) properties.emplace_back("signature", wire::JobSignature(key, payload));

  const std::string base = options.prefix + "/" + site + "/" + printer;
  std::mutex mutex;
  std::condition_variable arrived;
  std::string terminal;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(wait_s));
  // Re-sent until the terminal event, over a new connection when one is lost.
  while (Clock::now() < deadline) {
    Client client(options, [&](const std::string&, const std::string& text) {
      const auto event = ordered_json::parse(text, nullptr, false);
      if (!event.is_object() || event.value("id", "") != id) return;
      if (!Terminal(event.value("state", ""))) return;
      std::lock_guard lock(mutex);
      if (terminal.empty()) terminal = text;
      arrived.notify_all();
    });
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (!client.Open(base + "/events", std::min(left, 10.0))) {
      std::unique_lock lock(mutex);
      arrived.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::seconds(1)));
      continue;
    }
    while (Clock::now() < deadline && !client.Lost()) {
      if (!client.Publish(base + "/jobs", payload, properties, 10)) break;
      std::unique_lock lock(mutex);
      const auto next =
          std::min(deadline, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(every_s)));
      if (arrived.wait_until(lock, next, [&] { return !terminal.empty(); })) {
        std::printf("%s\n", terminal.c_str());
        const auto event = ordered_json::parse(terminal);
        const bool ok = event.value("state", "") == "done" && event.contains("result") &&
                        event["result"].value("ok", false);
        return ok ? kExitDone : kExitNotOk;
      }
    }
  }
  std::fprintf(stderr, "vexolant-fleet: no terminal event for job %s within %g s\n", id.c_str(),
               wait_s);
  return kExitNoAnswer;
}

std::string Cell(const ordered_json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "-";
  return value.dump();
}

int Status(const Options& options, int argc, char** argv) {
  double wait_s = 2;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) == "--wait" && i + 1 < argc) {
      wait_s = Seconds(argv[++i]);
    } else {
      Usage(stderr);
      return kExitUsage;
    }
  }
  std::mutex mutex;
  std::condition_variable arrived;
  std::map<std::string, ordered_json> sites;
  auto last = Clock::now();
  const std::string head = options.prefix + "/";
  Client client(options, [&](const std::string& topic, const std::string& text) {
    // P/S/status: the site is what lies between.
    if (topic.size() <= head.size() + 7) return;
    const std::string site = topic.substr(head.size(), topic.size() - head.size() - 7);
    std::lock_guard lock(mutex);
    sites[site] = ordered_json::parse(text, nullptr, false);
    last = Clock::now();
    arrived.notify_all();
  });
  if (!client.Open(head + "+/status", 10)) return kExitNoAnswer;
  // Retained statuses come at once: collected until none came for a while.
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(wait_s));
  const bool progress = isatty(STDERR_FILENO) != 0;
  {
    std::unique_lock lock(mutex);
    last = Clock::now();
    while (Clock::now() < deadline && Clock::now() - last < std::chrono::milliseconds(500)) {
      if (progress) std::fprintf(stderr, "\rcollecting: %zu site(s)", sites.size());
      arrived.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
  }
  std::printf("%-24s %-7s %-16s %-8s %6s  %s\n", "SITE", "ONLINE", "PRINTER", "STATE", "QUEUED",
              "LAST STATUS");
  std::lock_guard lock(mutex);
  for (const auto& [site, status] : sites) {
    const bool online = status.is_object() && status.value("online", false);
    const auto printers = status.is_object() && status.contains("printers") ? status["printers"]
                                                                            : ordered_json::array();
    if (!online || printers.empty()) {
      std::printf("%-24s %-7s %-16s %-8s %6s  %s\n", site.c_str(), online ? "yes" : "no", "-", "-",
                  "-", "-");
      continue;
    }
    for (const auto& printer : printers) {
      std::string last_status = "-";
      if (printer.contains("last_status") && printer["last_status"].is_object()) {
        const auto& seen = printer["last_status"];
        last_status = "status " + Cell(seen.value("status", ordered_json())) + ", error " +
                      Cell(seen.value("error", ordered_json())) + " (" +
                      Cell(seen.value("error_text", ordered_json())) + ") at " +
                      Cell(seen.value("at", ordered_json()));
      }
      std::printf("%-24s %-7s %-16s %-8s %6s  %s\n", site.c_str(), "yes",
                  Cell(printer.value("name", ordered_json())).c_str(),
                  Cell(printer.value("state", ordered_json())).c_str(),
                  Cell(printer.value("queued", ordered_json())).c_str(), last_status.c_str());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const char* environment = std::getenv("VEXOLANT_FLEET_BROKER");
  options.broker =
      environment != nullptr && *environment != '\0' ? environment : "mqtt://127.0.0.1:1883";
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        Usage(stderr);
        std::exit(kExitUsage);
      }
      into = argv[++i];
    };
    if (arg == "--broker") {
      value(options.broker);
    } else if (arg == "--username") {
      value(options.username);
    } else if (arg == "--password-file") {
      value(options.password_file);
    } else if (arg == "--ca-file") {
      value(options.ca_file);
    } else if (arg == "--cert-file") {
      value(options.cert_file);
    } else if (arg == "--key-file") {
      value(options.key_file);
    } else if (arg == "--topic-prefix") {
      value(options.prefix);
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("vexolant-fleet %s\n", vexolant_version());
      return 0;
    } else {
      break;
    }
  }
  if (i >= argc) {
    Usage(stderr);
    return kExitUsage;
  }
  const std::string command = argv[i];
  if (command == "send") return Send(options, argc - i - 1, argv + i + 1);
  if (command == "status") return Status(options, argc - i - 1, argv + i + 1);
  Usage(stderr);
  return kExitUsage;
}
