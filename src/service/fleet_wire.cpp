#include "service/fleet_wire.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace vexolant::service {

std::optional<double> ParseUtcTime(const std::string& text) {
  // YYYY-MM-DDTHH:MM:SS, then an optional fraction, then Z.
  if (text.size() < 20 || text.size() > 40) return std::nullopt;
  const char* shape = "dddd-dd-ddTdd:dd:dd";
  for (size_t i = 0; i < 19; ++i) {
    const char c = text[i];
    if (shape[i] == 'd' ? (c < '0' || c > '9') : (c != shape[i] && !(i == 10 && c == 't'))) {
      return std::nullopt;
    }
  }
  size_t at = 19;
  double fraction = 0;
  if (text[at] == '.') {
    double scale = 0.1;
    ++at;
    const size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      fraction += (text[at] - '0') * scale;
      scale /= 10;
      ++at;
    }
    if (at == digits) return std::nullopt;
  }
  if (at + 1 != text.size() || (text[at] != 'Z' && text[at] != 'z')) return std::nullopt;
  const auto number = [&](size_t from, size_t count) {
    return std::stoi(text.substr(from, count));
  };
  std::tm utc{};
  utc.tm_year = number(0, 4) - 1900;
  utc.tm_mon = number(5, 2) - 1;
  utc.tm_mday = number(8, 2);
  utc.tm_hour = number(11, 2);
  utc.tm_min = number(14, 2);
  utc.tm_sec = number(17, 2);
  if (utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 ||
      utc.tm_min > 59 || utc.tm_sec > 60) {
    return std::nullopt;
  }
  const std::time_t seconds = timegm(&utc);
  return static_cast<double>(seconds) + fraction;
}

std::string JobSignature(const std::string& key, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length);
  static const char* kHex = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0F]);
  }
  return text;
}

bool ValidJobId(const std::string& id) {
  return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == ':';
  });
}

std::string PahoUri(const std::string& broker) {
  const auto url = ParseBrokerUrl(broker);
  if (!url) return "";
  return (url->tls ? "ssl://" : "tcp://") + url->host_port;
}

bool TlsOptions(const std::string& broker, const std::string& ca_file, const std::string& cert_file,
                const std::string& key_file, MQTTAsync_SSLOptions& ssl) {
  if (broker.rfind("mqtts://", 0) != 0) return false;
  ssl.enableServerCertAuth = 1;
  ssl.verify = 1;
  if (!ca_file.empty()) {
    ssl.trustStore = ca_file.c_str();
    ssl.disableDefaultTrustStore = 1;
  }
  if (!cert_file.empty()) {
    ssl.keyStore = cert_file.c_str();
    ssl.privateKey = key_file.c_str();
  }
  return true;
}

int NoDelayTowards(const std::string& broker) {
  const auto url = ParseBrokerUrl(broker);
  if (!url) return 0;
  const int port = url->port;
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return 0;
  int count = 0;
  while (const dirent* entry = readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    struct stat info {};
    if (fd <= 2 || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    int peer_port = 0;
    if (peer.ss_family == AF_INET) {
      peer_port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    } else if (peer.ss_family == AF_INET6) {
      peer_port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    }
    const int on = 1;
    if (peer_port == port && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) {
      ++count;
    }
  }
  closedir(folder);
  return count;
}

}  // namespace vexolant::service
