#include "events.h"

#include <algorithm>

#include "unicode.h"

namespace velmora {
namespace {

void putIfPresent(json::Value& object, const char* key, const std::optional<std::string>& value) {
  if (value) object[key] = *value;
}

}  // namespace

const StatsSnapshot& StatsSnapshot::empty() {
  static const StatsSnapshot value{.startedAt = std::chrono::system_clock::now()};
  return value;
}

json::Value toJSON(const ConnectionEvent& event) {
  json::Value result = {{"id", event.id.string()},
                        {"date", json::formatISO8601(event.date)},
                        {"app", event.app},
                        {"host", event.host},
                        {"port", event.port},
                        {"transport", rawValue(event.transport)},
                        {"phase", rawValue(event.phase)},
                        {"route", event.route},
                        {"bytesSent", event.bytesSent},
                        {"bytesReceived", event.bytesReceived},
                        {"lifetime", event.lifetime}};
  putIfPresent(result, "bundleID", event.bundleID);
  putIfPresent(result, "responsibleApp", event.responsibleApp);
  putIfPresent(result, "appBundleName", event.appBundleName);
  putIfPresent(result, "ruleName", event.ruleName);
  putIfPresent(result, "errorDescription", event.errorDescription);
  return result;
}

json::Value toJSON(const StatsSnapshot& stats) {
  json::Value perApp = json::Value::object();
  for (const auto& [name, app] : stats.perApp) {
    perApp[name] = {{"connections", app.connections},
                    {"bytesSent", app.bytesSent},
                    {"bytesReceived", app.bytesReceived}};
  }
  return {{"startedAt", json::formatISO8601(stats.startedAt)},
          {"totalConnections", stats.totalConnections},
          {"activeConnections", stats.activeConnections},
          {"failedConnections", stats.failedConnections},
          {"blockedConnections", stats.blockedConnections},
          {"bytesSent", stats.bytesSent},
          {"bytesReceived", stats.bytesReceived},
          {"perApp", perApp}};
}

ConnectionEvent connectionEventFromJSON(const json::Reader& reader) {
  return ConnectionEvent{.id = reader["id"].uuid(),
                         .date = reader["date"].date(),
                         .app = reader["app"].string(),
                         .bundleID = reader.optionalString("bundleID"),
                         .responsibleApp = reader.optionalString("responsibleApp"),
                         .appBundleName = reader.optionalString("appBundleName"),
                         .host = reader["host"].string(),
                         .port = reader["port"].port(),
                         .transport = enumFromJSON<FlowTransport>(reader["transport"]),
                         .phase = enumFromJSON<ConnectionEvent::Phase>(reader["phase"]),
                         .ruleName = reader.optionalString("ruleName"),
                         .route = reader["route"].string(),
                         .bytesSent = reader["bytesSent"].unsignedInteger(),
                         .bytesReceived = reader["bytesReceived"].unsignedInteger(),
                         .lifetime = reader["lifetime"].number(),
                         .errorDescription = reader.optionalString("errorDescription")};
}

StatsSnapshot statsSnapshotFromJSON(const json::Reader& reader) {
  StatsSnapshot stats{.startedAt = reader["startedAt"].date(),
                      .totalConnections = reader["totalConnections"].unsignedInteger(),
                      .activeConnections = reader["activeConnections"].unsignedInteger(),
                      .failedConnections = reader["failedConnections"].unsignedInteger(),
                      .blockedConnections = reader["blockedConnections"].unsignedInteger(),
                      .bytesSent = reader["bytesSent"].unsignedInteger(),
                      .bytesReceived = reader["bytesReceived"].unsignedInteger(),
                      .perApp = {}};
  for (const auto& [name, app] : reader["perApp"].members()) {
    stats.perApp[name] =
        StatsSnapshot::App{.connections = app["connections"].unsignedInteger(),
                           .bytesSent = app["bytesSent"].unsignedInteger(),
                           .bytesReceived = app["bytesReceived"].unsignedInteger()};
  }
  return stats;
}

EventRingBuffer::EventRingBuffer(std::int64_t capacity)
    : capacity_(static_cast<std::size_t>(std::max<std::int64_t>(capacity, 1))) {
  storage_.reserve(capacity_);
}

void EventRingBuffer::append(ConnectionEvent event) {
  std::lock_guard guard(lock_);
  ++appended_;
  if (storage_.size() < capacity_) {
    storage_.push_back(std::move(event));
    return;
  }
  storage_[head_] = std::move(event);
  head_ = (head_ + 1) % capacity_;
}

std::vector<ConnectionEvent> EventRingBuffer::snapshot(const std::optional<std::string>& app,
                                                       const std::optional<std::string>& host,
                                                       const std::optional<json::Date>& since,
                                                       std::size_t limit) const {
  std::vector<ConnectionEvent> events;
  {
    std::lock_guard guard(lock_);
    events.reserve(storage_.size());
    events.insert(events.end(), storage_.begin() + static_cast<long>(head_), storage_.end());
    events.insert(events.end(), storage_.begin(), storage_.begin() + static_cast<long>(head_));
  }
  // Filtering works on the private copy, so appends are never held up by it.
  std::erase_if(events, [&](const ConnectionEvent& event) {
    if (app && !unicode::containsIgnoringCase(event.app, *app) &&
        !(event.bundleID && unicode::containsIgnoringCase(*event.bundleID, *app))) {
      return true;
    }
    if (host && !unicode::containsIgnoringCase(event.host, *host)) return true;
    return since && event.date < *since;
  });
  if (events.size() > limit) events.erase(events.begin(), events.end() - static_cast<long>(limit));
  return events;
}

std::vector<ConnectionEvent> EventRingBuffer::after(std::uint64_t& sequence) const {
  std::lock_guard guard(lock_);
  const std::uint64_t oldest = appended_ - storage_.size();
  sequence = std::clamp(sequence, oldest, appended_);
  std::vector<ConnectionEvent> events;
  events.reserve(static_cast<std::size_t>(appended_ - sequence));
  // The oldest kept event is at head_ once the buffer is full, and at 0 before.
  for (; sequence < appended_; ++sequence)
    events.push_back(storage_[(head_ + static_cast<std::size_t>(sequence - oldest)) % storage_.size()]);
  return events;
}

}  // namespace velmora
