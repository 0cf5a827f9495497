// vexolantd: a local print service. It reads its configuration, opens the
// job journal, starts one worker per printer and serves the HTTP/JSON API
// until SIGTERM or SIGINT.
#include <httplib.h>
#ifndef _WIN32
#include <sys/socket.h>
#endif
#include <vexolant/vexolant.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "service/config.h"
#include "service/first_line.h"
#ifdef VEXOLANT_FLEET
#include "service/fleet.h"
#endif
#include "service/http.h"
#include "service/journal.h"
#include "service/platform.h"
#include "service/service.h"

namespace vexolant::service {
namespace {

// httplib listens with a backlog of 5: a burst of clients (a shop's tills
// after a network hiccup) would see connections dropped and reset. The
// listening socket gets the system's backlog instead.
class Server : public httplib::Server {
 public:
  bool WidenBacklog() { return ::listen(svr_sock_, SOMAXCONN) == 0; }
};

void Usage(std::FILE* out) {
  const std::string default_config = DefaultConfigPath();
  std::fprintf(out,
               "usage: vexolantd [--config FILE] [--check]\n"
               "  --config FILE  the configuration (default %s)\n"
               "  --check        check the configuration and the token file, then exit\n"
               "  --version      print the version\n",
               default_config.c_str());
}

// The token: the first line of the file, without its line end.
std::string ReadToken(const std::string& path) {
  const auto token = ReadFirstLine(path);
  if (!token) throw ConfigError(path + ": the token file cannot be read");
  if (token->size() < 16) {
    throw ConfigError(path + ": the token must have at least 16 characters on its first line");
  }
  return *token;
}

}  // namespace

int RunService(int argc, char** argv, Lifecycle& lifecycle) {
  std::string config_path = DefaultConfigPath();
  bool check_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) {
      config_path = argv[++i];
    } else if (arg == "--check") {
      check_only = true;
    } else if (arg == "--version") {
      std::printf("vexolantd %s\n", vexolant_version());
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      Usage(stderr);
      return 2;
    }
  }

  Config config;
  std::string token;
  try {
    config = LoadConfig(config_path);
    token = ReadToken(config.token_file);
  } catch (const ConfigError& error) {
    std::fprintf(stderr, "vexolantd: %s\n", error.what());
    return check_only ? 1 : lifecycle.ConfigProblem(error.what());
  }
#ifndef VEXOLANT_FLEET
  if (!config.fleet.broker.empty()) {
    const std::string problem = config_path + ": [fleet]: this build has no fleet link";
    std::fprintf(stderr, "vexolantd: %s\n", problem.c_str());
    return check_only ? 1 : lifecycle.ConfigProblem(problem);
  }
#endif
  if (check_only) {
    std::printf("%s: fine, %zu printer(s)\n", config_path.c_str(), config.printers.size());
    return 0;
  }

  // One service per journal: a second one would run the same jobs.
  const std::string lock_path = config.journal + ".lock";
  JournalLock lock;
  std::string lock_error;
  if (!lock.Acquire(lock_path, &lock_error)) {
    std::fprintf(stderr, "vexolantd: %s: %s\n", lock_path.c_str(), lock_error.c_str());
    return 1;
  }

  lifecycle.TakeStops();

  try {
    Journal journal(config.journal);
    lifecycle.Starting();
    Service service(config, journal);
    Server server;
    // Set before the socket is made: httplib writes a response's headers and
    // body apart, and Nagle's algorithm would hold the body for the client's
    // delayed ACK (40 ms).
    server.set_tcp_nodelay(true);
    const int port = config.listen_port == 0 ? server.bind_to_any_port(config.listen_host)
                     : server.bind_to_port(config.listen_host, config.listen_port)
                         ? config.listen_port
                         : -1;
    if (port <= 0) {
      std::fprintf(stderr, "vexolantd: cannot listen on %s:%d: %s\n", config.listen_host.c_str(),
                   config.listen_port, SocketErrorText().c_str());
      return 1;
    }
    if (!server.WidenBacklog()) {
      std::fprintf(stderr, "vexolantd: listen: %s\n", SocketErrorText().c_str());
      return 1;
    }
    lifecycle.Starting();
    InstallApi(server, config, port, token, service, journal);
#ifdef VEXOLANT_FLEET
    std::unique_ptr<FleetLink> fleet;
    if (!config.fleet.broker.empty()) {
      fleet = std::make_unique<FleetLink>(config, service, journal);
      service.SetObserver([&fleet](int64_t job) { fleet->OnChange(job); });
      service.SetLinkState([&fleet] {
        return LinkState{fleet->Connected(), static_cast<int64_t>(fleet->EventsWaiting())};
      });
    }
#endif
    const int unknown = service.Start();
    if (unknown > 0) {
      std::fprintf(stderr, "vexolantd: %d job(s) were running at the last stop: now unknown\n",
                   unknown);
    }
    std::printf("vexolantd %s: listening on %s:%d, %zu printer(s)\n", vexolant_version(),
                config.listen_host.c_str(), port, config.printers.size());
    std::fflush(stdout);
#ifdef VEXOLANT_FLEET
    if (fleet) fleet->Start();
#endif
    lifecycle.Running();

    std::thread stopper([&] {
      lifecycle.WaitForStop();
      std::fprintf(stderr, "vexolantd: stopping: the running jobs end, queued ones stay\n");
#ifdef VEXOLANT_FLEET
      // No more jobs from the broker: those it still holds wait for the next start.
      if (fleet) fleet->Stop();
#endif
      service.BeginShutdown();
      service.Join();
      server.stop();
    });
    // listen_after_bind returns false when accepting failed (the listening
    // socket is then closed), true after stop(): a service that can take no
    // request stops as a signal would stop it, and says why.
    const bool served = server.listen_after_bind();
    const int accept_error = errno;
    if (!served) lifecycle.EndWait(stopper);
    stopper.join();
    if (!served) {
      std::fprintf(stderr, "vexolantd: stopped accepting connections on %s:%d: %s\n",
                   config.listen_host.c_str(), port,
                   accept_error != 0 ? std::strerror(accept_error) : "the listening socket failed");
      return 1;
    }
    std::fprintf(stderr, "vexolantd: stopped\n");
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vexolantd: %s\n", error.what());
    return 1;
  }
}

}  // namespace vexolant::service

#ifndef _WIN32
int main(int argc, char** argv) {
  vexolant::service::SignalLifecycle lifecycle;
  return vexolant::service::RunService(argc, argv, lifecycle);
}
#endif
