// The HTTP/JSON API v1 and the status page, on cpp-httplib.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "service/config.h"
#include "service/journal.h"
#include "service/service.h"

namespace httplib {
class Server;
}

namespace vexolant::service {

// A printer as GET /v1/printers and the fleet link's status show it: its
// name, state, queue and last status (not its port).
nlohmann::json PrinterJson(const PrinterView& view);

// Seconds since the epoch as RFC 3339 UTC text with milliseconds.
std::string TimeText(double seconds);

// Compares two strings in a time that does not depend on where they differ.
bool SameSecret(const std::string& a, const std::string& b);

// Routes and checks (Host, Origin, token, sizes, time-outs) on server;
// port is the port actually listened on.
void InstallApi(httplib::Server& server, const Config& config, int port, const std::string& token,
                Service& service, Journal& journal);

}  // namespace vexolant::service
