#include "service/fleet.h"

#include <MQTTAsync.h>
#include <vexolant/vexolant.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>
#include <vector>

#include "service/first_line.h"
#include "service/fleet_wire.h"
#include "service/http.h"
#include "service/job.h"

namespace vexolant::service {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kFirstBackoff = std::chrono::seconds(1);
constexpr auto kLastBackoff = std::chrono::seconds(30);
// Status changes are coalesced: one publish per this much time at most.
constexpr auto kStatusEvery = std::chrono::milliseconds(250);
constexpr int kStopWaitMs = 3000;

// The first line of a file, without its line end; throws ConfigError.
std::string FirstLine(const std::string& path, const char* what) {
  const auto line = ReadFirstLine(path);
  if (!line) throw ConfigError(path + ": the " + what + " cannot be read");
  if (line->empty()) throw ConfigError(path + ": the " + what + " is empty");
  return *line;
}

std::string PahoFailure(MQTTAsync_failureData5* failure) {
  if (failure == nullptr) return "failed";
  std::string text = failure->message != nullptr ? failure->message : "";
  if (failure->reasonCode != MQTTREASONCODE_SUCCESS) {
    if (!text.empty()) text += ": ";
    text += MQTTReasonCode_toString(failure->reasonCode);
  } else if (text.empty()) {
    text = MQTTAsync_strerror(failure->code);
  }
  return text;
}

}  // namespace

struct FleetLink::Impl {
  Impl(const Config& config_in, Service& service_in, Journal& journal_in)
      : config(config_in), fleet(config_in.fleet), service(service_in), journal(journal_in) {}

  const Config& config;
  const FleetConfig& fleet;
  Service& service;
  Journal& journal;
  std::string password;
  std::string job_key;
  std::string prefix;  // P/S/
  std::string status_topic;
  std::string will_payload;
  std::string uri;        // the library's scheme
  std::string client_id;  // vexolantd-SITE
  MQTTAsync client = nullptr;
  bool used = false;  // the client has tried a connection

  std::mutex mutex;
  std::condition_variable wake;
  std::thread thread;
  bool stopping = false;
  bool connected = false;
  bool connecting = false;
  bool resync = false;  // just connected: subscribe, publish what waits
  bool status_dirty = true;
  Clock::time_point next_attempt = Clock::now();
  Clock::duration backoff = kFirstBackoff;
  Clock::time_point last_status{};
  std::deque<int64_t> changed;
  // Terminal events in flight: the publish's token, the job's id.
  std::map<MQTTAsync_token, int64_t> in_flight;
  // Acknowledgements that came for no token in flight, with their time:
  // those of untracked messages (accepted, status), or of a terminal event
  // acknowledged before its sender recorded its token.
  std::map<MQTTAsync_token, Clock::time_point> delivered_early;
  std::minstd_rand random{std::random_device{}()};
  bool disconnected = false;  // the clean stop's disconnect completed

  void Run();
  int MakeClient();
  void Connect();
  void Subscribe();
  void Publish(const std::string& topic, const std::string& payload, bool retained, int64_t job);
  void PublishEvent(const JobRecord& record);
  void PublishState(const std::string& printer, const std::string& id, const char* state,
                    json extra);
  void PublishStatus();
  std::string StatusPayload();
  int Arrived(char* topic, int topic_length, MQTTAsync_message* message);
  void Retry(const std::string& why);

  static void OnConnected(void* context, MQTTAsync_successData5*) {
    auto* self = static_cast<Impl*>(context);
    NoDelayTowards(self->fleet.broker);
    std::fprintf(stderr, "vexolantd: fleet: connected to %s\n", self->fleet.broker.c_str());
    std::lock_guard lock(self->mutex);
    self->connected = true;
    self->connecting = false;
    self->resync = true;
    self->status_dirty = true;
    self->backoff = kFirstBackoff;
    self->wake.notify_all();
  }
  static void OnConnectFailed(void* context, MQTTAsync_failureData5* failure) {
    static_cast<Impl*>(context)->Retry("cannot connect to " +
                                       static_cast<Impl*>(context)->fleet.broker + ": " +
                                       PahoFailure(failure));
  }
  static void OnLost(void* context, char* cause) {
    static_cast<Impl*>(context)->Retry(std::string("connection lost") +
                                       (cause != nullptr ? std::string(": ") + cause : ""));
  }
  static int OnMessage(void* context, char* topic, int topic_length, MQTTAsync_message* message) {
    return static_cast<Impl*>(context)->Arrived(topic, topic_length, message);
  }
  static void OnDelivered(void* context, MQTTAsync_token token) {
    auto* self = static_cast<Impl*>(context);
    int64_t job = 0;
    {
      std::lock_guard lock(self->mutex);
      const auto found = self->in_flight.find(token);
      if (found == self->in_flight.end()) {
        const auto now = Clock::now();
        std::erase_if(self->delivered_early, [&](const auto& entry) {
          return now - entry.second > std::chrono::seconds(10);
        });
        self->delivered_early[token] = now;
        return;
      }
      job = found->second;
      self->in_flight.erase(found);
    }
    try {
      self->journal.EventDelivered(job);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "vexolantd: fleet: job %lld: %s\n", static_cast<long long>(job),
                   error.what());
    }
  }
  static void OnSubscribeFailed(void*, MQTTAsync_failureData5* failure) {
    std::fprintf(stderr, "vexolantd: fleet: the subscription was refused: %s\n",
                 PahoFailure(failure).c_str());
  }
  static void OnDisconnected(void* context, MQTTAsync_successData5*) {
    auto* self = static_cast<Impl*>(context);
    std::lock_guard lock(self->mutex);
    self->disconnected = true;
    self->wake.notify_all();
  }
  static void OnDisconnectFailed(void* context, MQTTAsync_failureData5*) {
    OnDisconnected(context, nullptr);
  }
};

// The connection failed or was lost: the next attempt after the backoff,
// which doubles up to its bound; each wait is stretched or shrunk by up to a
// quarter, so that the sites a broker restart cut off do not come back all
// at once.
void FleetLink::Impl::Retry(const std::string& why) {
  std::lock_guard lock(mutex);
  if (stopping) return;
  std::uniform_real_distribution<double> spread(0.75, 1.25);
  const auto wait = std::chrono::duration_cast<Clock::duration>(backoff * spread(random));
  std::fprintf(stderr, "vexolantd: fleet: %s; trying again in %.1f s\n", why.c_str(),
               std::chrono::duration<double>(wait).count());
  connected = false;
  connecting = false;
  next_attempt = Clock::now() + wait;
  backoff = std::min<Clock::duration>(backoff * 2, kLastBackoff);
  // Tokens of a lost connection are not acknowledged any more: their events
  // are published again on the next one.
  in_flight.clear();
  delivered_early.clear();
  wake.notify_all();
}

void FleetLink::Impl::Connect() {
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer5;
  options.keepAliveInterval = fleet.keepalive_s;
  options.cleanstart = 0;
  options.connectTimeout = 10;
  options.onSuccess5 = OnConnected;
  options.onFailure5 = OnConnectFailed;
  options.context = this;
  MQTTProperties properties = MQTTProperties_initializer;
  MQTTProperty expiry;
  expiry.identifier = MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL;
  expiry.value.integer4 = static_cast<unsigned int>(fleet.session_expiry_s);
  MQTTProperties_add(&properties, &expiry);
  options.connectProperties = &properties;
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  will.topicName = status_topic.c_str();
  will.message = will_payload.c_str();
  will.retained = 1;
  will.qos = 1;
  options.will = &will;
  if (!fleet.username.empty()) options.username = fleet.username.c_str();
  if (!fleet.password_file.empty()) options.password = password.c_str();
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  if (TlsOptions(fleet.broker, fleet.ca_file, fleet.cert_file, fleet.key_file, ssl)) {
    options.ssl = &ssl;
  }
  const int code = MQTTAsync_connect(client, &options);
  MQTTProperties_free(&properties);
  if (code != MQTTASYNC_SUCCESS) {
    Retry(std::string("cannot connect: ") + MQTTAsync_strerror(code));
  }
}

void FleetLink::Impl::Subscribe() {
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onFailure5 = OnSubscribeFailed;
  options.context = this;
  const std::string filter = prefix + "+/jobs";
  const int code = MQTTAsync_subscribe(client, filter.c_str(), 1, &options);
  if (code != MQTTASYNC_SUCCESS) {
    std::fprintf(stderr, "vexolantd: fleet: cannot subscribe to %s: %s\n", filter.c_str(),
                 MQTTAsync_strerror(code));
  }
}

void FleetLink::Impl::Publish(const std::string& topic, const std::string& payload, bool retained,
                              int64_t job) {
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<char*>(payload.data());
  message.payloadlen = static_cast<int>(payload.size());
  message.qos = 1;
  message.retained = retained ? 1 : 0;
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  const auto sent = Clock::now();
  const int code = MQTTAsync_sendMessage(client, topic.c_str(), &message, &options);
  if (code != MQTTASYNC_SUCCESS) {
    // Not connected: a terminal event waits in the journal for the next
    // connection; other messages are published again when asked for.
    return;
  }
  if (job == 0) return;
  bool delivered = false;
  {
    std::lock_guard lock(mutex);
    // Only an acknowledgement that came after this send is this message's:
    // tokens are message ids, used again. Older ones are dropped.
    const auto early = delivered_early.find(options.token);
    delivered = early != delivered_early.end() && early->second >= sent;
    if (early != delivered_early.end()) delivered_early.erase(early);
    std::erase_if(delivered_early, [&](const auto& entry) { return entry.second < sent; });
    if (!delivered) in_flight[options.token] = job;
  }
  if (delivered) journal.EventDelivered(job);
}

void FleetLink::Impl::PublishState(const std::string& printer, const std::string& id,
                                   const char* state, json extra) {
  json event = {{"id", id}, {"state", state}, {"at", TimeText(Now())}, {"printer", printer}};
  for (auto& [key, value] : extra.items()) event[key] = std::move(value);
  Publish(prefix + printer + "/events", event.dump(), false, 0);
}

// A fleet job's latest state as an event: accepted while queued or running,
// else its terminal state (tracked until the broker has it).
void FleetLink::Impl::PublishEvent(const JobRecord& record) {
  const bool terminal = Terminal(record.state);
  json event = {{"id", record.remote_id},
                {"job", record.id},
                {"printer", record.printer},
                {"state", terminal ? StateName(record.state) : "accepted"},
                {"at", TimeText(terminal ? record.finished : record.accepted)}};
  if (record.state == JobState::kDone && !record.result.empty()) {
    event["result"] = json::parse(record.result, nullptr, false);
  }
  Publish(prefix + record.printer + "/events", event.dump(), false, terminal ? record.id : 0);
}

std::string FleetLink::Impl::StatusPayload() {
  json printers = json::array();
  for (const auto& view : service.Printers()) printers.push_back(PrinterJson(view));
  return json{{"online", true},
              {"site", fleet.site},
              {"version", vexolant_version()},
              {"at", TimeText(Now())},
              {"printers", std::move(printers)}}
      .dump();
}

void FleetLink::Impl::PublishStatus() {
  Publish(status_topic, StatusPayload(), true, 0);
}

void FleetLink::Impl::Run() {
  std::unique_lock lock(mutex);
  while (!stopping) {
    const auto now = Clock::now();
    if (!connected && !connecting && now >= next_attempt) {
      connecting = true;
      lock.unlock();
      // Each attempt has a client of its own. A client that connects again
      // sends its unacknowledged publishes again from its own store, and the
      // library (1.3.12) has been seen to send them with their payloads
      // overwritten after the broker went away; the journal is the store
      // here, and its events waiting for the broker are published again on
      // the new connection anyway. The broker keeps the session, which
      // belongs to the client id.
      const int made = used ? MakeClient() : MQTTASYNC_SUCCESS;
      if (made == MQTTASYNC_SUCCESS) {
        used = true;
        Connect();
      } else {
        Retry(std::string("cannot make the client: ") + MQTTAsync_strerror(made));
      }
      lock.lock();
      continue;
    }
    if (connected && resync) {
      resync = false;
      changed.clear();
      lock.unlock();
      Subscribe();
      try {
        for (const auto& record : journal.PendingEvents()) PublishEvent(record);
      } catch (const std::exception& error) {
        std::fprintf(stderr, "vexolantd: fleet: %s\n", error.what());
      }
      lock.lock();
      continue;
    }
    if (!changed.empty()) {
      const int64_t job = changed.front();
      changed.pop_front();
      status_dirty = true;
      if (job == 0 || !connected) continue;
      lock.unlock();
      try {
        const auto record = journal.Find(job);
        if (record && record->source == "fleet" && Terminal(record->state) &&
            record->event_pending) {
          PublishEvent(*record);
        }
      } catch (const std::exception& error) {
        std::fprintf(stderr, "vexolantd: fleet: job %lld: %s\n", static_cast<long long>(job),
                     error.what());
      }
      lock.lock();
      continue;
    }
    if (connected && status_dirty && now >= last_status + kStatusEvery) {
      status_dirty = false;
      last_status = now;
      lock.unlock();
      PublishStatus();
      lock.lock();
      continue;
    }
    // Sleep until the next thing due: a reconnect, a coalesced status, or
    // a change told by the service or the library.
    auto until = now + std::chrono::seconds(60);
    if (!connected && !connecting) until = std::min(until, next_attempt);
    if (connected && status_dirty) until = std::min(until, last_status + kStatusEvery);
    wake.wait_until(lock, until);
  }
}

int FleetLink::Impl::Arrived(char* topic_text, int topic_length, MQTTAsync_message* message) {
  const std::string topic =
      topic_length > 0 ? std::string(topic_text, static_cast<size_t>(topic_length)) : topic_text;
  const std::string payload(static_cast<const char*>(message->payload),
                            static_cast<size_t>(std::max(message->payloadlen, 0)));
  const auto handled = [&] {
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic_text);
    return 1;
  };
  // P/S/N/jobs: the printer's name is what lies between.
  const std::string suffix = "/jobs";
  if (topic.size() <= prefix.size() + suffix.size() || topic.compare(0, prefix.size(), prefix) ||
      topic.compare(topic.size() - suffix.size(), suffix.size(), suffix)) {
    std::fprintf(stderr, "vexolantd: fleet: a message on %s: ignored\n", topic.c_str());
    return handled();
  }
  const std::string printer =
      topic.substr(prefix.size(), topic.size() - prefix.size() - suffix.size());
  if (printer.find('/') != std::string::npos) return handled();

  // The id first: without one there is nobody to answer.
  json document =
      payload.size() <= kLinesBodyLimit ? json::parse(payload, nullptr, false) : json(nullptr);
  const auto id_field = document.is_object() ? document.find("id") : document.end();
  if (!document.is_object() || id_field == document.end() || !id_field->is_string() ||
      !ValidJobId(id_field->get<std::string>())) {
    std::fprintf(stderr, "vexolantd: fleet: a job on %s without a usable id (%zu bytes): ignored\n",
                 topic.c_str(), payload.size());
    return handled();
  }
  const std::string id = id_field->get<std::string>();
  const auto reject = [&](const std::string& error) {
    std::fprintf(stderr, "vexolantd: fleet: job %s rejected: %s\n", id.c_str(), error.c_str());
    PublishState(printer, id, "rejected", {{"error", error}});
    return handled();
  };

  if (!job_key.empty()) {
    std::string signature;
    bool signed_job = false;
    for (int i = 0; i < message->properties.count; ++i) {
      const MQTTProperty& property = message->properties.array[i];
      if (property.identifier != MQTTPROPERTY_CODE_USER_PROPERTY) continue;
      const std::string name(property.value.data.data,
                             static_cast<size_t>(property.value.data.len));
      if (name != "signature") continue;
      signature.assign(property.value.value.data, static_cast<size_t>(property.value.value.len));
      signed_job = true;
    }
    if (!signed_job) return reject("the job is not signed");
    if (!SameSecret(signature, JobSignature(job_key, payload))) {
      return reject("the job's signature is wrong");
    }
  }
  if (payload.size() > kBodyLimit) return reject("the job is larger than 1 MiB");
  if (std::none_of(config.printers.begin(), config.printers.end(),
                   [&](const PrinterConfig& p) { return p.name == printer; })) {
    return reject("no printer named '" + printer + "'");
  }
  JobOrigin origin;
  origin.source = "fleet";
  origin.remote_id = id;
  document.erase("id");
  if (const auto expires = document.find("expires"); expires != document.end()) {
    const auto when =
        expires->is_string() ? ParseUtcTime(expires->get<std::string>()) : std::nullopt;
    if (!when)
      return reject("'expires' must be an RFC 3339 UTC time, such as 2030-01-31T12:00:00Z");
    origin.expires = *when;
    document.erase("expires");
  }
  const ParseOutcome parsed = ParseJob(document.dump());
  if (!parsed.request) return reject(parsed.error);

  Submitted submitted;
  try {
    submitted = service.Submit(printer, *parsed.request, "", origin);
    if (submitted.status == 503 && service.Stopping()) {
      // Not acknowledged: the broker keeps it for the next start.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return 0;
    }
    if (submitted.status != 202) return reject(submitted.error);
    if (submitted.earlier) {
      if (const auto record = journal.Find(submitted.id)) PublishEvent(*record);
      return handled();
    }
  } catch (const std::exception& error) {
    // The journal failed: not acknowledged, the library hands it over again.
    std::fprintf(stderr, "vexolantd: fleet: job %s: %s\n", id.c_str(), error.what());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
  }
  // Durable now: only then is it accepted, and acknowledged on return.
  PublishState(printer, id, "accepted", {{"job", submitted.id}});
  return handled();
}

FleetLink::FleetLink(const Config& config, Service& service, Journal& journal)
    : impl_(std::make_unique<Impl>(config, service, journal)) {
  Impl& link = *impl_;
  const FleetConfig& fleet = config.fleet;
  if (!fleet.password_file.empty()) link.password = FirstLine(fleet.password_file, "password");
  if (!fleet.job_key_file.empty()) link.job_key = FirstLine(fleet.job_key_file, "job key");
  link.prefix = fleet.topic_prefix + "/" + fleet.site + "/";
  link.status_topic = link.prefix + "status";
  link.will_payload = json{{"online", false}, {"site", fleet.site}}.dump();
  // The library's own URI schemes.
  link.uri = PahoUri(fleet.broker);
  link.client_id = "vexolantd-" + fleet.site;
  const int code = link.MakeClient();
  if (code != MQTTASYNC_SUCCESS) {
    throw ConfigError("fleet: " + fleet.broker + ": " + MQTTAsync_strerror(code));
  }
}

// A new client in place of the last one, which is not connected (its
// callbacks have ended, or it never connected); called only on the link's
// own thread, never from the library's callbacks.
int FleetLink::Impl::MakeClient() {
  if (client != nullptr) MQTTAsync_destroy(&client);
  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer5;
  // The journal is the store: nothing of the link's is kept on disk.
  int code = MQTTAsync_createWithOptions(&client, uri.c_str(), client_id.c_str(),
                                         MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
  if (code == MQTTASYNC_SUCCESS) {
    code = MQTTAsync_setCallbacks(client, this, OnLost, OnMessage, OnDelivered);
  }
  if (code != MQTTASYNC_SUCCESS && client != nullptr) MQTTAsync_destroy(&client);
  return code;
}

FleetLink::~FleetLink() {
  Stop();
  if (impl_->client != nullptr) MQTTAsync_destroy(&impl_->client);
}

void FleetLink::Start() {
  impl_->thread = std::thread([this] { impl_->Run(); });
}

void FleetLink::OnChange(int64_t job) {
  std::lock_guard lock(impl_->mutex);
  impl_->changed.push_back(job);
  impl_->wake.notify_all();
}

void FleetLink::Stop() {
  Impl& link = *impl_;
  bool connected = false;
  {
    std::lock_guard lock(link.mutex);
    if (link.stopping) return;
    link.stopping = true;
    connected = link.connected;
    link.wake.notify_all();
  }
  if (link.thread.joinable()) link.thread.join();
  if (!connected) return;
  // A clean stop says so itself: the will is for a site that vanished.
  const std::string offline =
      json{{"online", false}, {"site", link.fleet.site}, {"at", TimeText(Now())}}.dump();
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<char*>(offline.data());
  message.payloadlen = static_cast<int>(offline.size());
  message.qos = 1;
  message.retained = 1;
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  if (MQTTAsync_sendMessage(link.client, link.status_topic.c_str(), &message, &options) ==
      MQTTASYNC_SUCCESS) {
    MQTTAsync_waitForCompletion(link.client, options.token, kStopWaitMs);
  }
  MQTTAsync_disconnectOptions disconnect = MQTTAsync_disconnectOptions_initializer5;
  disconnect.timeout = kStopWaitMs;
  disconnect.onSuccess5 = Impl::OnDisconnected;
  disconnect.onFailure5 = Impl::OnDisconnectFailed;
  disconnect.context = &link;
  if (MQTTAsync_disconnect(link.client, &disconnect) == MQTTASYNC_SUCCESS) {
    std::unique_lock lock(link.mutex);
    link.wake.wait_for(lock, std::chrono::milliseconds(kStopWaitMs + 1000),
                       [&] { return link.disconnected; });
  }
}

bool FleetLink::Connected() {
  std::lock_guard lock(impl_->mutex);
  return impl_->connected;
}

size_t FleetLink::EventsWaiting() {
  return impl_->journal.PendingEvents().size();
}

}  // namespace vexolant::service
