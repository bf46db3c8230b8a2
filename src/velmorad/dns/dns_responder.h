// velmorad's DNS responder for captured programs, on loopback over UDP and TCP: host names the
// profile resolves through the proxy get fake addresses, every other question is relayed to the
// machine's resolvers and their answer relayed back. It answers the user running it only:
// another user's question is refused, so that nobody learns through it which names this user
// resolves, or has this user's resolvers asked for them.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kit/fake_names.h"
#include "kit/matchers.h"
#include "kit/model.h"

namespace velmora::dns {

/// The one question of a standard query.
struct DnsQuery {
  std::uint16_t id = 0;
  bool recursionDesired = false;
  /// The name as asked, in presentation form with its final dot ("Example.com.").
  std::string name;
  std::uint16_t type = 0;
  std::uint16_t qclass = 0;

  bool operator==(const DnsQuery&) const = default;
};

/// The question of a standard query (not a response, opcode QUERY, exactly one question), read
/// with ldns; nothing for any other message and for bytes that are no DNS message.
std::optional<DnsQuery> readQuery(std::span<const std::uint8_t> message);

/// A reply to query with one address record of ttl: A for an IPv4 address, AAAA for IPv6.
std::vector<std::uint8_t> addressAnswer(const DnsQuery& query, std::string_view address,
                                        std::chrono::seconds ttl);
/// A reply to query that says the server failed (SERVFAIL), for when no resolver answered.
std::vector<std::uint8_t> failureAnswer(const DnsQuery& query);
/// A reply to query that says it is refused (REFUSED), for another user's question.
std::vector<std::uint8_t> refusalAnswer(const DnsQuery& query);

/// The nameserver addresses of a resolv.conf file, in its order; none when it cannot be read.
std::vector<std::string> resolvers(const std::filesystem::path& resolvConf);

/// Which questions get fake addresses: with resolveViaProxy, A and AAAA of the Internet class for
/// host names (letters, digits, hyphens, underscores and dots) that no exclusion matches. The
/// exclusion "%ComputerName%" stands for the computer name given, as in the profile's rules.
class FakeAddressPolicy {
 public:
  FakeAddressPolicy(const DNSSettings& settings, const std::optional<std::string>& computerName);
  /// The lower-cased name without its final dot when query gets a fake address.
  std::optional<std::string> fakedName(const DnsQuery& query) const;

 private:
  bool resolveViaProxy_;
  std::vector<HostPattern> exclusions_;
};

/// The responder with its one I/O thread, from construction until destruction.
class DnsResponder {
 public:
  struct Options {
    /// On 127.0.0.1 and ::1, UDP and TCP; 0 for the kernel's choice (IPv4 UDP's, then the same
    /// number for the others).
    std::uint16_t port = 0;
    /// Where the resolvers that other questions go to are listed; read again when it changes.
    std::filesystem::path resolvConf = "/etc/resolv.conf";
    /// How long each resolver is given to answer before the next one is asked.
    std::chrono::milliseconds forwardTimeout = std::chrono::seconds(2);
    /// The time-to-live of fake answers, short so that programs ask again soon.
    std::chrono::seconds fakeTTL = std::chrono::seconds(10);
  };
  using Log = std::function<void(std::string_view)>;

  /// Listens and starts answering at once, relaying every question until follow() is given
  /// settings. Throws velmora::Error when the port cannot be bound.
  DnsResponder(const Options& options, std::shared_ptr<FakeNames> names, Log log);
  ~DnsResponder();
  DnsResponder(const DnsResponder&) = delete;
  DnsResponder& operator=(const DnsResponder&) = delete;

  std::uint16_t port() const;
  /// The active profile's DNS settings, for questions from now on; nothing relays every question.
  void follow(const std::optional<DNSSettings>& settings);

  /// The sockets, the thread and the policy; defined where they are served.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::dns
