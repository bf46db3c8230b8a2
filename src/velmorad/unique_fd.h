// A file descriptor as an object: closed when its owner goes, handed on by moving.
#pragma once

#include <unistd.h>

#include <utility>

namespace velmora::daemon {

/// Owns one open file descriptor, or none (-1).
class UniqueFD {
 public:
  UniqueFD() = default;
  explicit UniqueFD(int fd) : fd_(fd) {}
  ~UniqueFD() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFD(UniqueFD&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFD& operator=(UniqueFD&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFD(const UniqueFD&) = delete;
  UniqueFD& operator=(const UniqueFD&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace velmora::daemon
