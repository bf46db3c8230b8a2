// The daemon's one thread: a poll loop over the bus connections, the file and network watches
// and the signals, with coalescing timers for work that should wait for a burst of changes.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

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
