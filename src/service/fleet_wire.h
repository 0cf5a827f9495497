// What the fleet link and the head office's command (vexolant-fleet) agree
// on: job ids, signatures, times and broker addresses. Free of the service.
#pragma once

#include <optional>
#include <string>

namespace vexolant::service {

// A head office's job id: 1 to 64 letters, digits, '.', '_', '-' or ':'.
bool ValidJobId(const std::string& id);

// The lowercase hex HMAC-SHA256 of data under key: a job's signature.
std::string JobSignature(const std::string& key, const std::string& data);

// An RFC 3339 UTC time (YYYY-MM-DDTHH:MM:SS[.fraction]Z) as seconds since
// the epoch; nullopt when the text is not one.
std::optional<double> ParseUtcTime(const std::string& text);

// mqtt://HOST:PORT or mqtts://HOST:PORT as Eclipse Paho C names it
// (tcp://, ssl://); empty for anything else.
std::string PahoUri(const std::string& broker);

}  // namespace vexolant::service
