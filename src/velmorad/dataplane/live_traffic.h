// The connections and UDP flows that are open now with their bytes so far, and the bytes of those
// that ended, per application: what a live view samples while the data plane carries them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "kit/events.h"

namespace velmora::dataplane {

/// Safe to use from several threads; the carriers count on their own thread without locking.
class LiveTraffic {
 public:
  /// The bytes one connection or flow carried so far, counted by its carrier.
  struct Counters {
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> received{0};
  };

  /// Keeps one connection or flow in view, from its open event until it ends or the entry goes.
  /// Declared after the counters it reads, so that it leaves before they go.
  class Entry {
   public:
    Entry() = default;
    ~Entry() { leave(); }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    /// Comes into view as opened says, with counters' bytes and the address it reached when
    /// that is known here (a direct route's); nothing when traffic is null.
    void enter(LiveTraffic* traffic, const ConnectionEvent& opened, const Counters& counters,
               std::string address = {});
    /// Leaves the view; its bytes count as ended ones of its application from now on.
    void leave();

   private:
    LiveTraffic* traffic_ = nullptr;
    const Counters* counters_ = nullptr;
  };

  struct Bytes {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
  };
  /// One open connection or flow: its open event, the address it reached when known, and its
  /// bytes so far.
  struct Open {
    ConnectionEvent opened;
    std::string address;
    Bytes bytes;
  };
  /// Everything at one moment: what is open, and per application the bytes of all that ended
  /// plus those of what is open, which only grow.
  struct Snapshot {
    std::vector<Open> open;
    std::map<std::string, Bytes> totals;
  };
  Snapshot snapshot() const;

 private:
  mutable std::mutex lock_;
  struct InView {
    ConnectionEvent opened;
    std::string address;
  };
  std::unordered_map<const Counters*, InView> open_;
  std::map<std::string, Bytes> ended_;
};

}  // namespace velmora::dataplane
