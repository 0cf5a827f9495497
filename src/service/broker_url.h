// A fleet broker's address, as the [fleet] table and vexolant-fleet take it:
// mqtt://HOST:PORT or mqtts://HOST:PORT. Free of the MQTT library, so that
// every build checks the configuration alike.
#pragma once

#include <optional>
#include <string>

namespace vexolant::service {

struct BrokerUrl {
  bool tls = false;       // mqtts://
  std::string host_port;  // HOST:PORT
  int port = 0;
};

// The address's parts; nullopt for anything but mqtt:// or mqtts:// with a
// host and a port from 1 to 65535, and no path, query, user or blank.
inline std::optional<BrokerUrl> ParseBrokerUrl(const std::string& broker) {
  const auto scheme = broker.find("://");
  if (scheme == std::string::npos) return std::nullopt;
  const std::string kind = broker.substr(0, scheme);
  const std::string rest = broker.substr(scheme + 3);
  const auto colon = rest.rfind(':');
  if ((kind != "mqtt" && kind != "mqtts") || colon == std::string::npos || colon == 0 ||
      rest.find_first_of("/?#@ ") != std::string::npos) {
    return std::nullopt;
  }
  const std::string port = rest.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
      std::stoi(port) > 65535) {
    return std::nullopt;
  }
  return BrokerUrl{kind == "mqtts", rest, std::stoi(port)};
}

}  // namespace vexolant::service
