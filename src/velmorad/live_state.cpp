#include "live_state.h"

#include <algorithm>

namespace velmora::daemon {

LiveState::LiveState(json::Date startedAt) {
  stats_.startedAt = startedAt;
}

void LiveState::record(const ConnectionEvent& event) {
  events_.append(event);
  std::lock_guard guard(lock_);
  StatsSnapshot::App& app = stats_.perApp[event.app];
  using Phase = ConnectionEvent::Phase;
  if (event.phase != Phase::close && event.ruleName) ++ruleCounts_[*event.ruleName];
  switch (event.phase) {
    case Phase::open:
      ++stats_.activeConnections;
      [[fallthrough]];
    case Phase::direct:
      ++stats_.totalConnections;
      ++app.connections;
      break;
    case Phase::blocked:
      ++stats_.blockedConnections;
      ++stats_.totalConnections;
      ++app.connections;
      break;
    case Phase::failed:
      ++stats_.failedConnections;
      ++stats_.totalConnections;
      ++app.connections;
      break;
    case Phase::close:
      if (stats_.activeConnections > 0) --stats_.activeConnections;
      stats_.bytesSent += event.bytesSent;
      stats_.bytesReceived += event.bytesReceived;
      app.bytesSent += event.bytesSent;
      app.bytesReceived += event.bytesReceived;
      break;
  }
}

std::map<std::string, std::uint64_t> LiveState::ruleCounts() const {
  std::lock_guard guard(lock_);
  return ruleCounts_;
}

StatsSnapshot LiveState::stats() const {
  std::lock_guard guard(lock_);
  return stats_;
}

std::vector<ConnectionEvent> LiveState::connections(const ConnectionQueryDTO& query,
                                                    json::Date now) const {
  std::optional<json::Date> since;
  if (query.sinceMinutes) since = now - std::chrono::minutes(*query.sinceMinutes);
  // A negative limit asks for nothing rather than for everything.
  const std::size_t limit = query.limit
                                ? static_cast<std::size_t>(std::max<std::int64_t>(*query.limit, 0))
                                : static_cast<std::size_t>(eventCapacity);
  return events_.snapshot(query.app, query.host, since, limit);
}

}  // namespace velmora::daemon
