// A small DNS server of a test's own, to stand for the machine's resolver.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
// ldns makes true and false integers unless stdbool.h has said they are defined.
#include <stdbool.h>
// clang-format off
#include <ldns/ldns.h>
// clang-format on
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

/// A resolver on address, port 53, UDP and TCP: A questions get answerA, TXT questions "real",
/// others no such name. Remembers the names it was asked.
class TinyResolver {
 public:
  TinyResolver(const std::string& at, std::string answerA) : answerA_(std::move(answerA)) {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(53)};
    inet_pton(AF_INET, at.c_str(), &address.sin_addr);
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(udp_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::bind(tcp_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(tcp_, 8) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0)
      throw std::runtime_error("the resolver cannot listen");
    thread_ = std::thread([this] { serve(); });
  }
  ~TinyResolver() {
    ::close(stop_[1]);
    thread_.join();
    for (const int fd : {udp_, tcp_, stop_[0]}) ::close(fd);
  }

  std::vector<std::string> asked() {
    std::lock_guard guard(lock_);
    return asked_;
  }

 private:
  std::vector<std::uint8_t> answer(const std::uint8_t* data, std::size_t size) {
    ldns_pkt* query = nullptr;
    if (ldns_wire2pkt(&query, data, size) != LDNS_STATUS_OK) return {};
    const ldns_rr* question = ldns_rr_list_rr(ldns_pkt_question(query), 0);
    char* name = ldns_rdf2str(ldns_rr_owner(question));
    {
      std::lock_guard guard(lock_);
      asked_.push_back(name);
    }
    ldns_pkt* reply = ldns_pkt_new();
    ldns_pkt_set_id(reply, ldns_pkt_id(query));
    ldns_pkt_set_qr(reply, true);
    ldns_pkt_push_rr(reply, LDNS_SECTION_QUESTION, ldns_rr_clone(question));
    const ldns_rr_type type = ldns_rr_get_type(question);
    ldns_rr* record = nullptr;
    if (type == LDNS_RR_TYPE_A || type == LDNS_RR_TYPE_TXT)
      ldns_rr_new_frm_str(&record,
                          (std::string(name) + (type == LDNS_RR_TYPE_A ? " 60 IN A " + answerA_
                                                                       : " 60 IN TXT \"real\""))
                              .c_str(),
                          0, nullptr, nullptr);
    if (record)
      ldns_pkt_push_rr(reply, LDNS_SECTION_ANSWER, record);
    else
      ldns_pkt_set_rcode(reply, LDNS_RCODE_NXDOMAIN);
    std::uint8_t* wire = nullptr;
    std::size_t length = 0;
    ldns_pkt2wire(&wire, reply, &length);
    std::vector<std::uint8_t> bytes(wire, wire + length);
    std::free(wire);
    std::free(name);
    ldns_pkt_free(reply);
    ldns_pkt_free(query);
    return bytes;
  }

  void serve() {
    std::array<std::uint8_t, 4096> buffer;
    while (true) {
      pollfd fds[] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 3, -1) < 0 || fds[2].revents) return;
      if (fds[0].revents) {
        sockaddr_storage from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = ::recvfrom(udp_, buffer.data(), buffer.size(), 0,
                                        reinterpret_cast<sockaddr*>(&from), &fromSize);
        const std::vector<std::uint8_t> reply = answer(buffer.data(), size > 0 ? size : 0);
        ::sendto(udp_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromSize);
      }
      if (fds[1].revents) {
        const int client = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
        std::uint8_t length[2];
        if (::recv(client, length, 2, MSG_WAITALL) == 2) {
          const std::size_t size = length[0] << 8 | length[1];
          if (::recv(client, buffer.data(), size, MSG_WAITALL) == static_cast<ssize_t>(size)) {
            const std::vector<std::uint8_t> reply = answer(buffer.data(), size);
            const std::uint8_t replyLength[2] = {static_cast<std::uint8_t>(reply.size() >> 8),
                                                 static_cast<std::uint8_t>(reply.size())};
            ::send(client, replyLength, 2, MSG_NOSIGNAL);
            ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
          }
        }
        ::close(client);
      }
    }
  }

  const std::string answerA_;
  int udp_ = -1;
  int tcp_ = -1;
  int stop_[2] = {-1, -1};
  std::mutex lock_;
  std::vector<std::string> asked_;
  std::thread thread_;
};

}  // namespace velmora::testing
