// velmorad's connection to velmora-netd, the system service that redirects the TCP of captured
// cgroups to the transparent listener. The connection itself is what the service ties the
// captures to: they end when it closes.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "captured_udp.h"
#include "kit/netd_protocol.h"
#include "kit/unique_fd.h"

namespace velmora::daemon {

/// One connection to the helper, asked one request at a time.
class NetdClient {
 public:
  /// Connects to the helper's socket at path. Throws velmora::Error with the reason when
  /// nothing answers there.
  explicit NetdClient(const std::string& path);

  /// Readable when the helper closed the connection (or, never, sent something unasked).
  int descriptor() const { return socket_.get(); }
  /// Sends request and waits at most limit for the reply. Throws velmora::Error when the helper
  /// is gone or does not answer in time; a refusal is a reply with ok false.
  netd::Reply ask(const netd::Request& request,
                  std::chrono::milliseconds limit = std::chrono::seconds(3));
  /// As ask, for the requests whose reply brings sockets: they go to sockets, in the order the
  /// helper sent them.
  netd::Reply ask(const netd::Request& request, std::vector<UniqueFd>& sockets,
                  std::chrono::milliseconds limit = std::chrono::seconds(3));

 private:
  std::string path_;
  UniqueFd socket_;
};

/// The helper as captured UDP asks it, over a connection of its own: the one whose transparent
/// UDP sockets the data plane receives on, since answers may only be sent for the flows of the
/// same connection. Used from the data plane's thread alone; each request waits at most a second.
class NetdUdpHelper : public dataplane::UdpHelper {
 public:
  explicit NetdUdpHelper(NetdClient client) : client_(std::move(client)) {}

  UniqueFd replySocket(const std::string& address, std::uint16_t port) override;
  void refuseFlow(const std::string& source, std::uint16_t sourcePort, const std::string& address,
                  std::uint16_t port) override;

 private:
  NetdClient client_;
};

}  // namespace velmora::daemon
