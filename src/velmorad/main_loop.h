// The daemon's one thread: a poll loop over the bus connections, the file and network watches
// and the signals, with coalescing timers for work that should wait for a burst of changes.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "kit/unique_fd.h"

namespace sdbus {
class IConnection;
}

namespace velmora::daemon {

/// Runs callbacks when their descriptors become readable or their timers expire, and processes
/// the bus connections' messages, until stop() is called. Every callback runs on the thread
/// that called run().
class MainLoop {
 public:
  using Clock = std::chrono::steady_clock;

  /// A callback that runs once, some time after the first of a burst of requests for it.
  class Coalescer {
   public:
    Coalescer(MainLoop& loop, std::chrono::milliseconds delay, std::function<void()> action);
    Coalescer(const Coalescer&) = delete;
    Coalescer& operator=(const Coalescer&) = delete;
    /// Schedules the action unless it is already scheduled: a burst of requests runs it once,
    /// at most delay after the first of them.
    void request();

   private:
    friend class MainLoop;
    std::chrono::milliseconds delay_;
    std::function<void()> action_;
    std::optional<Clock::time_point> due_;
  };

  /// Work that other threads hand to the loop's thread: post() from any thread, and the loop
  /// runs it in order once the inbox is watched.
  class Inbox {
   public:
    /// Watches its descriptor in loop. Throws std::system_error when it cannot have one.
    explicit Inbox(MainLoop& loop);
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;
    void post(std::function<void()> work);

   private:
    void run();

    UniqueFd wake_;
    std::mutex lock_;
    std::deque<std::function<void()>> work_;
  };

  void watch(int fd, std::function<void()> onReadable);
  /// Stops watching fd; its callback does not run again, even later in the same round.
  void unwatch(int fd);
  void watchBus(sdbus::IConnection& bus);
  void run();
  void stop() { running_ = false; }

 private:
  struct Watch {
    int fd;
    std::function<void()> onReadable;
  };

  std::vector<Watch> watches_;
  std::vector<sdbus::IConnection*> buses_;
  std::vector<Coalescer*> coalescers_;
  bool running_ = false;
};

}  // namespace velmora::daemon
