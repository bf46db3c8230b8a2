// The helper's service: its socket, its clients and what each of them holds in the table. A
// client's captures last as long as its connection; those it asked to fail closed become
// refusals that the helper holds for the client's user until that user captures them again or
// the cgroup empties.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cgroup_tree.h"
#include "kit/netd_protocol.h"
#include "kit/unique_fd.h"
#include "nft_table.h"
#include "peer_check.h"
#include "policy_routes.h"

namespace velmora::netd {

/// How many clients are served at once, and how many of them one user may have; one more is
/// turned away, so that no user can take every place.
inline constexpr std::size_t maxClients = 64;
inline constexpr std::size_t maxClientsPerUser = 8;

/// A listening SOCK_SEQPACKET socket at a path, mode 0666, for the helper run by hand; the file
/// goes with this object.
class SocketFile {
 public:
  /// Replaces a socket file nobody answers at; throws Error when a helper answers there, or when
  /// the path holds something other than a socket.
  explicit SocketFile(std::string path);
  ~SocketFile();
  SocketFile(const SocketFile&) = delete;
  SocketFile& operator=(const SocketFile&) = delete;

  int fd() const { return fd_.get(); }

 private:
  std::string path_;
  UniqueFd fd_;
};

/// Serves the requests of the clients of one listening socket. Every capture is authorized from
/// what the kernel says of the client; every reply fits in maxMessageSize.
class Server {
 public:
  /// Serves on listener, a listening SOCK_SEQPACKET socket that stays open while this lives.
  /// Makes the table at once when it can, and says in the log why not otherwise.
  explicit Server(int listener);

  /// Serves until stop (the signal descriptor) becomes readable.
  void run(int stop);

 private:
  /// What the helper works with, made when first needed and again after a failure, so that
  /// hello always tells the present reason. The table lives as long as the server.
  struct Facilities {
    explicit Facilities(CgroupTree mounted) : tree(std::move(mounted)) {}

    CgroupTree tree;
    NftTable table;
    SocketTable sockets;
    /// Made when a client first asks for UDP sockets.
    std::optional<PolicyRoutes> routes;
  };
  struct Captured {
    Capture capture;
    ino_t id = 0;
    NftCgroup name;
    /// The client's own cgroup, left out of a capture above it.
    std::optional<NftCgroup> excepted;
    RulePair rules;
    /// The mark its rules give the cgroup's UDP: no other client gets it while they do.
    std::optional<std::uint32_t> udpMark;
  };
  /// A client's captured UDP: the mark that tells its datagrams and answers from the others',
  /// the port of its transparent sockets, and the rules that deliver to them.
  struct ClientUdp {
    std::uint32_t mark = 0;
    std::uint16_t port = 0;
    RulePair rules;
  };
  struct Client {
    UniqueFd connection;
    Peer peer;
    std::map<std::string, Captured> captures;
    std::optional<ClientUdp> udp;
    /// The sockets that go with the next reply.
    std::vector<UniqueFd> passing;
  };
  /// A refusal kept after its client left, for the client's user.
  struct Held {
    uid_t uid = 0;
    ino_t id = 0;
    NftCgroup name;
    RulePair rules;
    int watch = -1;
  };
  using Clients = std::list<Client>;
  using HeldCgroups = std::map<std::string, Held>;

  Facilities& facilities();
  void accept();
  /// Reads and answers one request; false when the client is to be dropped.
  bool serve(Client& client);
  Reply answer(Client& client, std::string_view message);
  Reply handle(Client& client, const Hello& request);
  Reply handle(Client& client, const Capture& request);
  Reply handle(Client& client, const Release& request);
  Reply handle(Client& client, const List& request);
  Reply handle(Client& client, const UdpSockets& request);
  Reply handle(Client& client, const ReplySocket& request);
  Reply handle(Client& client, const RefuseFlow& request);
  const ClientUdp& udpOf(const Client& client) const;
  /// The mark of the UDP sockets a client of uid holds at port; throws Refusal when none does.
  std::uint32_t udpMarkAt(uid_t uid, std::uint16_t port) const;
  /// Refuses a capture that would collide with another client's, with a held refusal of another
  /// user or with anything captured or held above or below it, or make a list too long to send.
  void checkConflicts(const Client& client, const Capture& request) const;
  /// Ends the client's captures, holding those that were not to fail open, and forgets it.
  void drop(Clients::iterator client);
  void hold(uid_t uid, const std::string& cgroup, const Captured& captured);
  void readWatches();
  /// Ends the hold when its cgroup is empty or gone. Throws when the rules cannot be removed.
  void checkHeld(HeldCgroups::iterator held);
  /// Removes a held refusal's rules and forgets it; throws, keeping it, when they stay.
  void endHold(HeldCgroups::iterator held, const std::string& why);
  /// Forgets a held refusal whose rules are already gone.
  void forget(HeldCgroups::iterator held, const std::string& why);

  int listener_;
  UniqueFd inotify_;
  std::optional<Facilities> facilities_;
  Clients clients_;
  HeldCgroups held_;
};

}  // namespace velmora::netd
