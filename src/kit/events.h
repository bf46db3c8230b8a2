// Connection events and traffic counters as the application records them, and the bounded store
// of the most recent events.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json_text.h"
#include "model.h"
#include "uuid.h"

namespace velmora {

/// One record of the connection log.
struct ConnectionEvent {
  enum class Phase { open, close, blocked, failed, direct };

  UUID id;
  json::Date date;
  std::string app;
  std::optional<std::string> bundleID;
  std::optional<std::string> responsibleApp;
  std::optional<std::string> appBundleName;
  std::string host;
  std::uint16_t port = 0;
  FlowTransport transport = FlowTransport::tcp;
  Phase phase = Phase::open;
  std::optional<std::string> ruleName;
  std::string route;
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesReceived = 0;
  double lifetime = 0;
  std::optional<std::string> errorDescription;

  bool operator==(const ConnectionEvent&) const = default;
};

template <>
struct EnumTexts<ConnectionEvent::Phase> {
  using P = ConnectionEvent::Phase;
  static constexpr std::array<std::pair<P, std::string_view>, 5> cases{{{P::open, "open"},
                                                                        {P::close, "close"},
                                                                        {P::blocked, "blocked"},
                                                                        {P::failed, "failed"},
                                                                        {P::direct, "direct"}}};
};

/// The application's counters since startedAt.
struct StatsSnapshot {
  struct App {
    std::uint64_t connections = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;

    bool operator==(const App&) const = default;
  };

  json::Date startedAt;
  std::uint64_t totalConnections = 0;
  std::uint64_t activeConnections = 0;
  std::uint64_t failedConnections = 0;
  std::uint64_t blockedConnections = 0;
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesReceived = 0;
  std::map<std::string, App> perApp;

  /// All zero, started at the moment of the first use in this process; the same value afterwards.
  static const StatsSnapshot& empty();

  bool operator==(const StatsSnapshot&) const = default;
};

json::Value toJSON(const ConnectionEvent& event);
json::Value toJSON(const StatsSnapshot& stats);
ConnectionEvent connectionEventFromJSON(const json::Reader& reader);
StatsSnapshot statsSnapshotFromJSON(const json::Reader& reader);

/// The most recent events, at most capacity of them; the oldest is overwritten first. Safe to
/// use from several threads.
class EventRingBuffer {
 public:
  /// A capacity below 1 is taken as 1.
  explicit EventRingBuffer(std::int64_t capacity);

  void append(ConnectionEvent event);

  /// The newest `limit` events that pass every given filter, oldest first. app matches the
  /// event's app or bundle identifier, host its host, both as case-insensitive substrings; since
  /// keeps events not earlier than it.
  std::vector<ConnectionEvent> snapshot(const std::optional<std::string>& app,
                                        const std::optional<std::string>& host,
                                        const std::optional<json::Date>& since,
                                        std::size_t limit) const;

  /// The events kept that were appended as number sequence (counted from 0) or later, oldest
  /// first; sequence moves past them. Events overwritten before they were read are skipped.
  std::vector<ConnectionEvent> after(std::uint64_t& sequence) const;

 private:
  const std::size_t capacity_;
  mutable std::mutex lock_;
  std::vector<ConnectionEvent> storage_;
  std::size_t head_ = 0;
  std::uint64_t appended_ = 0;
};

}  // namespace velmora
