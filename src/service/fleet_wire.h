// What the fleet link and the head office's command (vexolant-fleet) agree
// on: job ids, signatures, times and broker addresses. Free of the service.
#pragma once

#include <MQTTAsync.h>

#include <optional>
#include <string>

#include "service/broker_url.h"

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

// For an mqtts:// broker, fills ssl to check the broker's certificate and
// that it names the host, against ca_file (the system's CAs when empty),
// with a client certificate when cert_file is set; false for mqtt://. The
// strings must outlive the connect.
bool TlsOptions(const std::string& broker, const std::string& ca_file, const std::string& cert_file,
                const std::string& key_file, MQTTAsync_SSLOptions& ssl);

// Eclipse Paho C leaves Nagle's algorithm on and offers no way to turn it
// off: a PUBLISH that follows another small packet (an event after a
// PUBACK) then waits for the broker's delayed ACK, some 40 ms. This turns
// it off on every TCP socket of the process connected to the broker's port
// (a client's own socket once it is connected). Returns how many.
int NoDelayTowards(const std::string& broker);

}  // namespace vexolant::service
