// The head office's connection to the fleet link's broker (Eclipse Paho C's
// asynchronous client, MQTT 5), for vexolant-fleet and the benchmark.
#pragma once

#include <MQTTAsync.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "service/first_line.h"
#include "service/fleet_wire.h"

namespace vexolant::fleet {

namespace wire = vexolant::service;
using Clock = std::chrono::steady_clock;

// The first line of a file, without its line end; exits with status 2 when
// it cannot be read.
inline std::string FirstLine(const std::string& path) {
  const auto line = wire::ReadFirstLine(path);
  if (!line) {
    std::fprintf(stderr, "vexolant-fleet: %s: cannot be read\n", path.c_str());
    std::exit(2);
  }
  return *line;
}

struct Options {
  std::string broker;
  std::string username;
  std::string password_file;
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  std::string prefix = "vexolant/v1";
};

// One connection to the broker, with every arriving message handed to a
// callback on the library's thread.
class Client {
 public:
  using Handler = std::function<void(const std::string& topic, const std::string& payload)>;

  Client(const Options& options, Handler handler)
      : options_(options), handler_(std::move(handler)) {}
  ~Client() {
    if (client_ != nullptr) {
      MQTTAsync_disconnectOptions disconnect = MQTTAsync_disconnectOptions_initializer5;
      disconnect.timeout = 1000;
      MQTTAsync_disconnect(client_, &disconnect);
      MQTTAsync_destroy(&client_);
    }
  }

  // Connects and subscribes; false, with the reason printed, when not.
  bool Open(const std::string& filter, double limit_s) {
    std::random_device seed;
    const std::string id = "vexolant-fleet-" + std::to_string(getpid()) + "-" +
                           std::to_string(std::uniform_int_distribution<int>(0, 1 << 30)(seed));
    const std::string uri = wire::PahoUri(options_.broker);
    if (uri.empty()) {
      std::fprintf(stderr,
                   "vexolant-fleet: the broker must be mqtt://HOST:PORT or mqtts://HOST:PORT\n");
      return false;
    }
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer5;
    if (MQTTAsync_createWithOptions(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                                    nullptr, &create) != MQTTASYNC_SUCCESS ||
        MQTTAsync_setCallbacks(client_, this, OnLost, OnMessage, nullptr) != MQTTASYNC_SUCCESS) {
      std::fprintf(stderr, "vexolant-fleet: %s: cannot make a client\n", options_.broker.c_str());
      return false;
    }
    MQTTAsync_connectOptions connect = MQTTAsync_connectOptions_initializer5;
    connect.cleanstart = 1;
    connect.keepAliveInterval = 30;
    connect.connectTimeout = static_cast<int>(std::max(1.0, limit_s));
    connect.onSuccess5 = OnDone;
    connect.onFailure5 = OnFailed;
    connect.context = this;
    std::string password;
    if (!options_.username.empty()) connect.username = options_.username.c_str();
    if (!options_.password_file.empty()) {
      password = FirstLine(options_.password_file);
      connect.password = password.c_str();
    }
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    if (wire::TlsOptions(options_.broker, options_.ca_file, options_.cert_file, options_.key_file,
                         ssl)) {
      connect.ssl = &ssl;
    }
    if (!Await([&] { return MQTTAsync_connect(client_, &connect); }, limit_s, "connect")) {
      return false;
    }
    wire::NoDelayTowards(options_.broker);
    MQTTAsync_responseOptions subscribe = MQTTAsync_responseOptions_initializer;
    subscribe.onSuccess5 = OnDone;
    subscribe.onFailure5 = OnFailed;
    subscribe.context = this;
    return Await([&] { return MQTTAsync_subscribe(client_, filter.c_str(), 1, &subscribe); },
                 limit_s, "subscribe");
  }

  bool Publish(const std::string& topic, const std::string& payload,
               const std::vector<std::pair<std::string, std::string>>& properties, double limit_s) {
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char*>(payload.data());
    message.payloadlen = static_cast<int>(payload.size());
    message.qos = 1;
    for (const auto& [name, value] : properties) {
      MQTTProperty property;
      property.identifier = MQTTPROPERTY_CODE_USER_PROPERTY;
      property.value.data.data = const_cast<char*>(name.c_str());
      property.value.data.len = static_cast<int>(name.size());
      property.value.value.data = const_cast<char*>(value.c_str());
      property.value.value.len = static_cast<int>(value.size());
      MQTTProperties_add(&message.properties, &property);
    }
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    options.onSuccess5 = OnDone;
    options.onFailure5 = OnFailed;
    options.context = this;
    const bool sent =
        Await([&] { return MQTTAsync_sendMessage(client_, topic.c_str(), &message, &options); },
              limit_s, "publish");
    MQTTProperties_free(&message.properties);
    return sent;
  }

  bool Lost() {
    std::lock_guard lock(mutex_);
    return lost_;
  }

 private:
  // Starts an operation and waits for its callback, at most limit_s.
  template <typename Start>
  bool Await(Start start, double limit_s, const char* what) {
    {
      std::lock_guard lock(mutex_);
      pending_ = true;
      failure_.clear();
    }
    const int code = start();
    std::unique_lock lock(mutex_);
    if (code != MQTTASYNC_SUCCESS) {
      std::fprintf(stderr, "vexolant-fleet: %s: %s\n", what, MQTTAsync_strerror(code));
      return false;
    }
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(limit_s));
    if (!done_.wait_until(lock, deadline, [&] { return !pending_; })) {
      std::fprintf(stderr, "vexolant-fleet: %s: no answer from %s\n", what,
                   options_.broker.c_str());
      return false;
    }
    if (!failure_.empty()) {
      std::fprintf(stderr, "vexolant-fleet: %s: %s\n", what, failure_.c_str());
      return false;
    }
    return true;
  }

  static void OnDone(void* context, MQTTAsync_successData5*) {
    auto* self = static_cast<Client*>(context);
    std::lock_guard lock(self->mutex_);
    self->pending_ = false;
    self->done_.notify_all();
  }
  static void OnFailed(void* context, MQTTAsync_failureData5* failure) {
    auto* self = static_cast<Client*>(context);
    std::lock_guard lock(self->mutex_);
    self->pending_ = false;
    self->failure_ = failure != nullptr && failure->message != nullptr ? failure->message
                     : failure != nullptr && failure->reasonCode != MQTTREASONCODE_SUCCESS
                         ? MQTTReasonCode_toString(failure->reasonCode)
                         : "failed";
    self->done_.notify_all();
  }
  static void OnLost(void* context, char*) {
    auto* self = static_cast<Client*>(context);
    std::lock_guard lock(self->mutex_);
    self->lost_ = true;
    self->pending_ = false;
    self->failure_ = "the connection was lost";
    self->done_.notify_all();
  }
  static int OnMessage(void* context, char* topic, int topic_length, MQTTAsync_message* message) {
    auto* self = static_cast<Client*>(context);
    const std::string name =
        topic_length > 0 ? std::string(topic, static_cast<size_t>(topic_length)) : topic;
    self->handler_(name, std::string(static_cast<const char*>(message->payload),
                                     static_cast<size_t>(std::max(message->payloadlen, 0))));
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
  }

  const Options& options_;
  Handler handler_;
  MQTTAsync client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable done_;
  bool pending_ = false;
  bool lost_ = false;
  std::string failure_;
};

}  // namespace vexolant::fleet
