// The DNS peers of the DNS benchmarks, written by hand so that they cost little beside what they
// measure: questions in wire form, and an authoritative server that answers every A question
// with one address.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmora::bench {

constexpr std::uint16_t typeA = 1;
constexpr std::uint16_t typeAAAA = 28;

/// A standard query with recursion desired for name ("www.example.com", no final dot) and type,
/// with id 0: the sender sets the first two bytes.
inline std::vector<std::uint8_t> queryMessage(std::string_view name, std::uint16_t type) {
  std::vector<std::uint8_t> message = {0, 0, 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  while (!name.empty()) {
    const std::string_view label = name.substr(0, name.find('.'));
    message.push_back(static_cast<std::uint8_t>(label.size()));
    message.insert(message.end(), label.begin(), label.end());
    name.remove_prefix(std::min(name.size(), label.size() + 1));
  }
  message.insert(message.end(),
                 {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
  return message;
}

/// Turns the query in message (size bytes of a buffer of 512 or more) into its answer, in place:
/// the question, and for an A question of the Internet class one record of address (network
/// byte order), for any other question none. The answer's size; 0 for bytes that are no query.
inline std::size_t answerInPlace(std::uint8_t* message, std::size_t size, in_addr_t address) {
  if (size < 12 || (message[2] & 0x80) || message[4] != 0 || message[5] != 1) return 0;
  std::size_t at = 12;
  while (at < size && message[at] != 0) {
    if (message[at] > 63) return 0;
    at += message[at] + 1u;
  }
  at += 5;
  if (at > size || at > 512 - 16) return 0;
  const bool a = message[at - 4] == 0 && message[at - 3] == typeA && message[at - 2] == 0 &&
                 message[at - 1] == 1;
  message[2] = 0x84 | (message[2] & 0x01);  // QR, AA, RD as asked
  message[3] = 0;
  message[6] = 0;
  message[7] = a ? 1 : 0;
  std::memset(message + 8, 0, 4);
  if (!a) return at;
  // The question's name by pointer, A, IN, a minute, four bytes.
  const std::array<std::uint8_t, 12> record = {0xc0, 12, 0, typeA, 0, 1, 0, 0, 0, 60, 0, 4};
  std::memcpy(message + at, record.data(), record.size());
  std::memcpy(message + at + record.size(), &address, 4);
  return at + record.size() + 4;
}

/// A UDP DNS server on address:53 that answers every A question with answer, from a thread of
/// its own until destroyed. Throws std::runtime_error when it cannot listen.
class FixedResolver {
 public:
  FixedResolver(const std::string& address, const std::string& answer) {
    sockaddr_in at{.sin_family = AF_INET, .sin_port = htons(53)};
    if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1 ||
        inet_pton(AF_INET, answer.c_str(), &answer_) != 1)
      throw std::runtime_error("the resolver's addresses are no IPv4 addresses");
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::pipe2(stop_, O_CLOEXEC) != 0) {
      ::close(socket_);
      throw std::runtime_error("the resolver cannot listen on " + address + " port 53");
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~FixedResolver() {
    ::close(stop_[1]);
    thread_.join();
    ::close(stop_[0]);
    ::close(socket_);
  }
  FixedResolver(const FixedResolver&) = delete;
  FixedResolver& operator=(const FixedResolver&) = delete;

 private:
  void serve() {
    std::array<std::uint8_t, 4096> buffer;
    while (true) {
      pollfd fds[] = {{socket_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || fds[1].revents) return;
      // Everything waiting, before polling again.
      while (true) {
        sockaddr_storage from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = ::recvfrom(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < 0) break;
        if (const std::size_t answer =
                answerInPlace(buffer.data(), static_cast<std::size_t>(size), answer_))
          ::sendto(socket_, buffer.data(), answer, 0, reinterpret_cast<sockaddr*>(&from), fromSize);
      }
    }
  }

  in_addr_t answer_ = 0;
  int socket_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace velmora::bench
