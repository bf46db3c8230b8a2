#include "main_loop.h"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace velmora::daemon {

MainLoop::Coalescer::Coalescer(MainLoop& loop, std::chrono::milliseconds delay,
                               std::function<void()> action)
    : delay_(delay), action_(std::move(action)) {
  loop.coalescers_.push_back(this);
}

void MainLoop::Coalescer::request() {
  if (!due_) due_ = Clock::now() + delay_;
}

MainLoop::Inbox::Inbox(MainLoop& loop) : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_) throw std::system_error(errno, std::generic_category(), "eventfd");
  loop.watch(wake_.get(), [this] { run(); });
}

void MainLoop::Inbox::post(std::function<void()> work) {
  {
    std::lock_guard guard(lock_);
    work_.push_back(std::move(work));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

void MainLoop::Inbox::run() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(wake_.get(), &count, sizeof count);
  std::deque<std::function<void()>> work;
  {
    std::lock_guard guard(lock_);
    work.swap(work_);
  }
  for (const std::function<void()>& each : work) each();
}

void MainLoop::watch(int fd, std::function<void()> onReadable) {
  watches_.push_back({fd, std::move(onReadable)});
}

void MainLoop::unwatch(int fd) {
  for (Watch& watch : watches_) {
    if (watch.fd == fd) watch.fd = -1;
  }
}

void MainLoop::watchBus(sdbus::IConnection& bus) {
  buses_.push_back(&bus);
}

void MainLoop::run() {
  running_ = true;
  while (running_) {
    // Messages already read from a socket wait in the connection, where poll cannot see them.
    for (sdbus::IConnection* bus : buses_) {
      while (running_ && bus->processPendingRequest()) {
      }
    }
    if (!running_) break;
    std::erase_if(watches_, [](const Watch& watch) { return watch.fd < 0; });

    std::vector<pollfd> fds;
    int timeout = -1;
    const auto shorten = [&timeout](int candidate) {
      if (candidate >= 0 && (timeout < 0 || candidate < timeout)) timeout = candidate;
    };
    for (sdbus::IConnection* bus : buses_) {
      const sdbus::IConnection::PollData data = bus->getEventLoopPollData();
      fds.push_back({data.fd, data.events, 0});
      shorten(data.getPollTimeout());
    }
    for (const Watch& watch : watches_) fds.push_back({watch.fd, POLLIN, 0});
    const Clock::time_point now = Clock::now();
    for (const Coalescer* coalescer : coalescers_) {
      if (!coalescer->due_) continue;
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*coalescer->due_ - now).count();
      shorten(static_cast<int>(std::max<long>(left, 0)));
    }

    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
      throw std::system_error(errno, std::generic_category(), "poll");

    // A callback may watch or unwatch descriptors: only those polled are looked at, and each
    // callback runs from a copy that a new watch cannot move away.
    const std::size_t polled = fds.size() - buses_.size();
    for (std::size_t i = 0; i < polled && running_; ++i) {
      if (fds[buses_.size() + i].revents == 0 || watches_[i].fd < 0) continue;
      const std::function<void()> onReadable = watches_[i].onReadable;
      onReadable();
    }
    const Clock::time_point after = Clock::now();
    for (Coalescer* coalescer : coalescers_) {
      if (running_ && coalescer->due_ && *coalescer->due_ <= after) {
        coalescer->due_.reset();
        coalescer->action_();
      }
    }
  }
}

}  // namespace velmora::daemon
