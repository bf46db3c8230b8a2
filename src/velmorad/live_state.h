// What the application knows only while it runs: the connection log and the traffic counters.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kit/automation_protocol.h"
#include "kit/events.h"

namespace velmora::daemon {

/// The connection log and counters, fed by the traffic path and read by the automation
/// requests. Safe to use from several threads.
class LiveState {
 public:
  static constexpr std::int64_t eventCapacity = 2000;

  explicit LiveState(json::Date startedAt);

  /// Keeps the event and counts it: every phase but close is a new connection (an open one stays
  /// active until its close; blocked and failed ones are counted as such), and a close adds its
  /// bytes and ends an active connection.
  void record(const ConnectionEvent& event);

  StatsSnapshot stats() const;

  /// The events the query asks for, "since" counted back from now; no limit means every event.
  std::vector<ConnectionEvent> connections(const ConnectionQueryDTO& query, json::Date now) const;

  /// The events recorded as number sequence (counted from 0) or later that are still kept;
  /// sequence moves past them.
  std::vector<ConnectionEvent> eventsAfter(std::uint64_t& sequence) const {
    return events_.after(sequence);
  }

  /// How many connections each rule decided since the start, by the rule's name.
  std::map<std::string, std::uint64_t> ruleCounts() const;

 private:
  mutable std::mutex lock_;
  StatsSnapshot stats_;
  std::map<std::string, std::uint64_t> ruleCounts_;
  EventRingBuffer events_{eventCapacity};
};

}  // namespace velmora::daemon
