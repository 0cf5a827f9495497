// vexolantd's configuration: a TOML file read once at start. Every error
// (a syntax error, an unknown key, a value of the wrong type, a duplicate
// printer, a bad port name or read end) names the line it was found on.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexolant::service {

struct PrinterConfig {
  std::string name;       // [A-Za-z0-9._-], 1 to 64 characters: used in URLs
  std::string port;       // handed to the library as it is
  bool complete = false;  // read end: "complete" (true) or "gap" (false)
  int32_t port_wait_ms = 30000;
};

// The link to a head office's MQTT 5 broker: on when broker is set.
struct FleetConfig {
  std::string broker;  // mqtt://HOST:PORT or mqtts://HOST:PORT; empty: no link
  std::string site;    // [A-Za-z0-9._-], 1 to 64 characters
  std::string topic_prefix = "vexolant/v1";
  std::string username;
  std::string password_file;
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  std::string job_key_file;  // when set, every job must carry its signature
  int keepalive_s = 30;
  int64_t session_expiry_s = 7 * 24 * 3600;
};

struct Config {
  std::string listen_host = "127.0.0.1";
  int listen_port = 8631;
  std::string journal = "/var/lib/vexolant/jobs.db";
  std::string state_directory;  // the journal's directory when empty
  std::string token_file = "/etc/vexolant/token";
  std::vector<std::string> allowed_origins;
  std::vector<std::string>
      allowed_hosts;  // Host names accepted besides the listen address and localhost
  int64_t retention_s = 7 * 24 * 3600;  // finished jobs older than this are removed
  int connection_timeout_s = 10;        // read and write time-out of a connection
  int max_connections = 64;             // requests served at the same time
  int health_interval_s = 0;            // read_status of an idle printer this often; 0: never
  std::vector<PrinterConfig> printers;
  FleetConfig fleet;
};

// An error in the configuration, with the file and the line in its text.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads and checks the configuration file; throws ConfigError.
Config LoadConfig(const std::string& path);
// The same for a text, named path in the messages.
Config ParseConfig(const std::string& text, const std::string& path);

// Checks a port name by the library's rule, as the console tool does before
// it opens a port: the reason it is refused, or "" when it may be opened.
std::string PortNameProblem(const std::string& port);

}  // namespace vexolant::service
