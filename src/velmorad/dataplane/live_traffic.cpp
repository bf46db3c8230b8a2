#include "live_traffic.h"

namespace velmora::dataplane {

void LiveTraffic::Entry::enter(LiveTraffic* traffic, const ConnectionEvent& opened,
                               const Counters& counters, std::string address) {
  leave();
  if (!traffic) return;
  std::lock_guard guard(traffic->lock_);
  traffic->open_.insert_or_assign(&counters, InView{opened, std::move(address)});
  traffic_ = traffic;
  counters_ = &counters;
}

void LiveTraffic::Entry::leave() {
  if (!traffic_) return;
  std::lock_guard guard(traffic_->lock_);
  const auto found = traffic_->open_.find(counters_);
  if (found != traffic_->open_.end()) {
    Bytes& ended = traffic_->ended_[found->second.opened.app];
    ended.sent += counters_->sent.load(std::memory_order_relaxed);
    ended.received += counters_->received.load(std::memory_order_relaxed);
    traffic_->open_.erase(found);
  }
  traffic_ = nullptr;
  counters_ = nullptr;
}

LiveTraffic::Snapshot LiveTraffic::snapshot() const {
  Snapshot snapshot;
  std::lock_guard guard(lock_);
  snapshot.totals = ended_;
  snapshot.open.reserve(open_.size());
  for (const auto& [counters, inView] : open_) {
    const Bytes bytes{counters->sent.load(std::memory_order_relaxed),
                      counters->received.load(std::memory_order_relaxed)};
    snapshot.open.push_back({inView.opened, inView.address, bytes});
    Bytes& total = snapshot.totals[inView.opened.app];
    total.sent += bytes.sent;
    total.received += bytes.received;
  }
  return snapshot;
}

}  // namespace velmora::dataplane
