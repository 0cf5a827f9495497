#include "service/config.h"

#include <toml++/toml.h>
#include <vexolant/vexolant.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "service/broker_url.h"
#ifdef _WIN32
#include "service/platform.h"
#endif

namespace vexolant::service {

namespace {

std::string At(const std::string& path, const toml::source_region& where) {
  return path + ":" + std::to_string(where.begin.line) + ": ";
}

[[noreturn]] void Fail(const std::string& path, const toml::node& node, const std::string& what) {
  throw ConfigError(At(path, node.source()) + what);
}

std::string String(const std::string& path, const toml::node& node, const std::string& key) {
  const auto* value = node.as_string();
  if (value == nullptr) Fail(path, node, "'" + key + "' must be a string");
  return value->get();
}

int64_t Integer(const std::string& path, const toml::node& node, const std::string& key,
                int64_t low, int64_t high) {
  const auto* value = node.as_integer();
  if (value == nullptr) Fail(path, node, "'" + key + "' must be an integer");
  const int64_t number = value->get();
  if (number < low || number > high) {
    Fail(path, node,
         "'" + key + "' must be from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return number;
}

std::vector<std::string> Strings(const std::string& path, const toml::node& node,
                                 const std::string& key) {
  const auto* array = node.as_array();
  if (array == nullptr) Fail(path, node, "'" + key + "' must be an array of strings");
  std::vector<std::string> result;
  for (const auto& item : *array) result.push_back(String(path, item, key));
  return result;
}

bool NameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

void ParseListen(const std::string& path, const toml::node& node, Config& config) {
  const std::string text = String(path, node, "listen");
  std::string host;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      Fail(path, node, "'listen' must be HOST:PORT, such as 127.0.0.1:8631 or [::1]:8631");
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      Fail(path, node, "'listen' must be HOST:PORT, such as 127.0.0.1:8631 or [::1]:8631");
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    Fail(path, node, "'listen' must be HOST:PORT with a port from 0 to 65535");
  }
  config.listen_host = host;
  config.listen_port = std::stoi(port);
}

PrinterConfig ParsePrinter(const std::string& path, const toml::table& table) {
  PrinterConfig printer;
  bool have_name = false;
  bool have_port = false;
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    if (name == "name") {
      printer.name = String(path, node, name);
      if (printer.name.empty() || printer.name.size() > 64) {
        Fail(path, node, "a printer's name must have 1 to 64 characters");
      }
      if (!std::all_of(printer.name.begin(), printer.name.end(), NameCharacter)) {
        Fail(path, node, "a printer's name may hold only letters, digits, '.', '_' and '-'");
      }
      have_name = true;
    } else if (name == "port") {
      printer.port = String(path, node, name);
      const std::string problem = PortNameProblem(printer.port);
      if (!problem.empty()) Fail(path, node, "bad port name: " + problem);
      have_port = true;
    } else if (name == "read_end") {
      const std::string mode = String(path, node, name);
      if (mode == "complete") {
        printer.complete = true;
      } else if (mode == "gap") {
        printer.complete = false;
      } else {
        Fail(path, node, "'read_end' must be \"complete\" or \"gap\"");
      }
    } else if (name == "port_wait_ms") {
      printer.port_wait_ms = static_cast<int32_t>(Integer(path, node, name, 0, 600000));
    } else {
      throw ConfigError(At(path, key.source()) + "unknown key '" + name + "' in [[printer]]");
    }
  }
  if (!have_name) throw ConfigError(At(path, table.source()) + "[[printer]] without a name");
  if (!have_port) throw ConfigError(At(path, table.source()) + "[[printer]] without a port");
  return printer;
}

// A site's or a printer's name: 1 to 64 letters, digits, '.', '_' or '-'.
bool ValidName(const std::string& name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), NameCharacter);
}

void ParseFleet(const std::string& path, const toml::node& node, FleetConfig& fleet) {
  const auto* table = node.as_table();
  if (table == nullptr) Fail(path, node, "'fleet' must be a table: [fleet]");
  for (const auto& [key, value] : *table) {
    const std::string name(key.str());
    if (name == "broker") {
      fleet.broker = String(path, value, name);
      if (!ParseBrokerUrl(fleet.broker)) {
        Fail(path, value, "'broker' must be mqtt://HOST:PORT or mqtts://HOST:PORT");
      }
    } else if (name == "site") {
      fleet.site = String(path, value, name);
      if (!ValidName(fleet.site)) {
        Fail(path, value, "'site' must be 1 to 64 letters, digits, '.', '_' or '-'");
      }
    } else if (name == "topic_prefix") {
      fleet.topic_prefix = String(path, value, name);
      if (fleet.topic_prefix.empty() || fleet.topic_prefix.size() > 128 ||
          fleet.topic_prefix.front() == '/' || fleet.topic_prefix.back() == '/' ||
          fleet.topic_prefix.find_first_of("+#$") != std::string::npos ||
          PortNameProblem(fleet.topic_prefix) != "") {
        Fail(path, value,
             "'topic_prefix' must be 1 to 128 characters, without '+', '#', '$', control "
             "characters or a '/' at either end");
      }
    } else if (name == "username") {
      fleet.username = String(path, value, name);
    } else if (name == "password_file") {
      fleet.password_file = String(path, value, name);
    } else if (name == "ca_file") {
      fleet.ca_file = String(path, value, name);
    } else if (name == "cert_file") {
      fleet.cert_file = String(path, value, name);
    } else if (name == "key_file") {
      fleet.key_file = String(path, value, name);
    } else if (name == "job_key_file") {
      fleet.job_key_file = String(path, value, name);
    } else if (name == "keepalive_s") {
      fleet.keepalive_s = static_cast<int>(Integer(path, value, name, 5, 3600));
    } else if (name == "session_expiry_s") {
      fleet.session_expiry_s = Integer(path, value, name, 0, 0xFFFFFFFFLL);
    } else {
      throw ConfigError(At(path, key.source()) + "unknown key '" + name + "' in [fleet]");
    }
  }
  if (fleet.broker.empty()) {
    throw ConfigError(At(path, table->source()) + "[fleet] without a broker");
  }
  if (fleet.site.empty()) throw ConfigError(At(path, table->source()) + "[fleet] without a site");
  if (fleet.cert_file.empty() != fleet.key_file.empty()) {
    throw ConfigError(At(path, table->source()) +
                      "[fleet] needs both 'cert_file' and 'key_file', or neither");
  }
}

}  // namespace

std::string PortNameProblem(const std::string& port) {
  // The library takes a C string: a NUL inside the name would hide its rest.
  if (port.find('\0') != std::string::npos) return "the name holds a control byte";
  const char* problem = vexolant_port_name_problem(port.c_str());
  return problem != nullptr ? problem : "";
}

Config ParseConfig(const std::string& text, const std::string& path) {
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& error) {
    throw ConfigError(At(path, error.source()) + std::string(error.description()));
  }
  Config config;
#ifdef _WIN32
  config.journal = StateFile("jobs.db");
  config.token_file = StateFile("token");
  constexpr const char* kSeparators = "/\\";
#else
  constexpr const char* kSeparators = "/";
#endif
  std::set<std::string> names;
  for (const auto& [key, node] : root) {
    const std::string name(key.str());
    if (name == "listen") {
      ParseListen(path, node, config);
    } else if (name == "journal") {
      config.journal = String(path, node, name);
      if (config.journal.empty()) Fail(path, node, "'journal' must not be empty");
    } else if (name == "state_directory") {
      config.state_directory = String(path, node, name);
    } else if (name == "token_file") {
      config.token_file = String(path, node, name);
    } else if (name == "allowed_origins") {
      config.allowed_origins = Strings(path, node, name);
    } else if (name == "allowed_hosts") {
      config.allowed_hosts = Strings(path, node, name);
    } else if (name == "retention_hours") {
      config.retention_s = Integer(path, node, name, 0, 24 * 366 * 10) * 3600;
    } else if (name == "connection_timeout_s") {
      config.connection_timeout_s = static_cast<int>(Integer(path, node, name, 1, 300));
    } else if (name == "max_connections") {
      config.max_connections = static_cast<int>(Integer(path, node, name, 4, 1024));
    } else if (name == "health_interval_s") {
      config.health_interval_s = static_cast<int>(Integer(path, node, name, 0, 86400));
    } else if (name == "fleet") {
      ParseFleet(path, node, config.fleet);
    } else if (name == "printer") {
      const auto* tables = node.as_array();
      if (tables == nullptr || !tables->is_array_of_tables()) {
        Fail(path, node, "'printer' must be a table array: [[printer]]");
      }
      for (const auto& item : *tables) {
        PrinterConfig printer = ParsePrinter(path, *item.as_table());
        if (!names.insert(printer.name).second) {
          Fail(path, item, "duplicate printer '" + printer.name + "'");
        }
        config.printers.push_back(std::move(printer));
      }
    } else {
      throw ConfigError(At(path, key.source()) + "unknown key '" + name + "'");
    }
  }
  if (config.state_directory.empty()) {
    // The journal's directory: "." for a bare name, "/" for one at the root.
    const auto slash = config.journal.find_last_of(kSeparators);
    config.state_directory = slash == std::string::npos
                                 ? std::string(1, '.')
                                 : config.journal.substr(0, std::max<size_t>(slash, 1));
  }
  return config;
}

Config LoadConfig(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw ConfigError(path + ": cannot be read");
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) throw ConfigError(path + ": cannot be read");
  return ParseConfig(text.str(), path);
}

}  // namespace vexolant::service
