#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "kit/discovery/cgroups.h"
#include "kit/file_io.h"
#include "kit/localize.h"
#include "log.h"
#include "transparent_sockets.h"

namespace velmora::netd {
namespace {

/// The cgroup the process lives in; nothing when it cannot be read (the process is gone).
std::optional<std::string> cgroupOfProcess(pid_t pid) {
  // The caller refuses a capture for a client whose cgroup is unknown, with its own words.
  return cgroups::ofProcess(pid);
}

bool overlap(std::string_view a, std::string_view b) {
  return cgroups::contains(a, b) || cgroups::contains(b, a);
}

std::string who(const Peer& peer) {
  return VL("进程 %lld，用户 %lld", peer.pid, peer.uid);
}

}  // namespace

SocketFile::SocketFile(std::string path) : path_(std::move(path)) {
  sockaddr_un address{.sun_family = AF_UNIX};
  if (path_.empty() || path_.size() >= sizeof address.sun_path)
    throw Error(VL("套接字路径「%@」太长或为空", path_));
  std::memcpy(address.sun_path, path_.data(), path_.size());
  const auto* at = reinterpret_cast<const sockaddr*>(&address);

  struct stat status {};
  if (::lstat(path_.c_str(), &status) == 0) {
    if (!S_ISSOCK(status.st_mode)) throw Error(VL("「%@」已存在，且不是套接字", path_));
    const UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (::connect(probe.get(), at, sizeof address) == 0)
      throw Error(VL("「%@」上已有 velmora-netd 在应答", path_));
    if (errno != ECONNREFUSED)
      throw Error(VL("无法检查「%@」上的套接字：%@", path_, std::strerror(errno)));
    // Left by a helper that was killed: nobody listens there any more.
    ::unlink(path_.c_str());
  }
  fd_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd_ || ::bind(fd_.get(), at, sizeof address) != 0)
    throw Error(VL("无法在「%@」上建立套接字：%@", path_, std::strerror(errno)));
  // Every user's velmorad may ask; what each may do is decided per request.
  if (::chmod(path_.c_str(), 0666) != 0 || ::listen(fd_.get(), 16) != 0) {
    const int error = errno;
    ::unlink(path_.c_str());
    throw Error(VL("无法在「%@」上监听：%@", path_, std::strerror(error)));
  }
}

SocketFile::~SocketFile() {
  ::unlink(path_.c_str());
}

Server::Server(int listener)
    : listener_(listener), inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  if (!inotify_) throw Error(VL("inotify 初始化失败：%@", std::strerror(errno)));
  const int flags = ::fcntl(listener_, F_GETFL);
  if (flags < 0 || ::fcntl(listener_, F_SETFL, flags | O_NONBLOCK) != 0)
    throw Error(VL("无法设置监听套接字：%@", std::strerror(errno)));
  try {
    facilities();
  } catch (const Error& error) {
    log(VL("透明捕获暂不可用：%@", error.description()));
  }
}

Server::Facilities& Server::facilities() {
  if (!facilities_) facilities_.emplace(CgroupTree::mounted());
  return *facilities_;
}

void Server::run(int stop) {
  while (true) {
    std::vector<pollfd> watched = {
        {stop, POLLIN, 0}, {listener_, POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
    for (const Client& client : clients_) watched.push_back({client.connection.get(), POLLIN, 0});
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw Error(VL("poll 失败：%@", std::strerror(errno)));
    }
    if (watched[0].revents) return;
    if (watched[2].revents) readWatches();
    // Clients before new connections: one that left frees its place first.
    auto client = clients_.begin();
    for (std::size_t i = 3; i < watched.size(); ++i) {
      const auto current = client++;
      if (watched[i].revents && !serve(*current)) drop(current);
    }
    if (watched[1].revents) accept();
  }
}

void Server::accept() {
  UniqueFd connection(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!connection) return;
  Peer peer;
  try {
    peer = peerOf(connection.get());
  } catch (const Error& error) {
    log(error.description());
    return;
  }
  if (clients_.size() >= maxClients) {
    log(VL("已有 %lld 个客户端，不接受新的连接（%@）", static_cast<long long>(maxClients),
           who(peer)));
    return;
  }
  if (std::ranges::count(clients_, peer.uid, [](const Client& client) {
        return client.peer.uid;
      }) >= static_cast<std::ptrdiff_t>(maxClientsPerUser)) {
    log(VL("用户 %lld 已有 %lld 个客户端，不接受新的连接（%@）", peer.uid,
           static_cast<long long>(maxClientsPerUser), who(peer)));
    return;
  }
  log(VL("客户端已连接（%@）", who(peer)));
  clients_.push_back(Client{std::move(connection), peer, {}, {}, {}});
}

bool Server::serve(Client& client) {
  char buffer[maxMessageSize];
  iovec part{buffer, sizeof buffer};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  const ssize_t size = ::recvmsg(client.connection.get(), &message, MSG_DONTWAIT);
  if (size < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  // An empty message reads the same as the end of the connection, and is taken as that.
  if (size <= 0) return false;
  Reply reply;
  bool keep = true;
  if (message.msg_flags & MSG_TRUNC) {
    reply = {.ok = false,
             .error = VL("请求超过 %lld 字节，连接将关闭", static_cast<long long>(maxMessageSize))};
    log(VL("客户端（%@）：%@", who(client.peer), reply.error));
    keep = false;
  } else {
    reply = answer(client, std::string_view(buffer, static_cast<std::size_t>(size)));
  }
  const std::string text = encode(reply);
  std::vector<UniqueFd> passing = std::exchange(client.passing, {});
  if (!reply.ok) passing.clear();
  iovec out{const_cast<char*>(text.data()), text.size()};
  msghdr sending{};
  sending.msg_iov = &out;
  sending.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))]{};
  if (!passing.empty()) {
    sending.msg_control = control;
    sending.msg_controllen = CMSG_SPACE(passing.size() * sizeof(int));
    cmsghdr* rights = CMSG_FIRSTHDR(&sending);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(passing.size() * sizeof(int));
    for (std::size_t i = 0; i < passing.size(); ++i) {
      const int fd = passing[i].get();
      std::memcpy(CMSG_DATA(rights) + i * sizeof fd, &fd, sizeof fd);
    }
  }
  // A client that does not take its replies is dropped rather than waited for. The sockets
  // passed are the client's now; the helper's copies close here.
  const ssize_t sent = ::sendmsg(client.connection.get(), &sending, MSG_NOSIGNAL | MSG_DONTWAIT);
  return keep && sent == static_cast<ssize_t>(text.size());
}

Reply Server::answer(Client& client, std::string_view message) {
  try {
    const Request request = decodeRequest(message);
    return std::visit([&](const auto& alternative) { return handle(client, alternative); },
                      request);
  } catch (const Error& error) {
    log(VL("拒绝了客户端（%@）的请求：%@", who(client.peer), error.description()));
    return {.ok = false, .error = error.description()};
  }
}

Reply Server::handle(Client&, const Hello&) {
  return {.cgroupRoot = facilities().tree.mountPoint()};
}

Reply Server::handle(Client& client, const Capture& request) {
  Facilities& facilities = this->facilities();
  const CgroupNode node = facilities.tree.open(request.cgroup);
  const std::optional<std::string> excepted = authorizeCapture(
      {.peer = client.peer,
       .clientCgroup = cgroupOfProcess(client.peer.pid),
       .cgroup = request.cgroup,
       .cgroupOwner = node.owner,
       .port = request.port,
       .listenerOwners = spanOwners(facilities.sockets, request.port),
       .exceptClient = request.exceptClient,
       .dnsPort = request.dnsPort,
       .dnsUdpOwners = request.dnsPort
                           ? ownersReachedAt(facilities.sockets, IPPROTO_UDP, *request.dnsPort)
                           : std::vector<uid_t>{},
       .dnsTcpOwners = request.dnsPort
                           ? ownersReachedAt(facilities.sockets, IPPROTO_TCP, *request.dnsPort)
                           : std::vector<uid_t>{}});
  checkConflicts(client, request);

  const auto own = client.captures.find(request.cgroup);
  const auto held = held_.find(request.cgroup);
  std::optional<RulePair> replaced;
  if (own != client.captures.end()) replaced = own->second.rules;
  if (held != held_.end()) replaced = held->second.rules;
  const NftCgroup name = facilities.tree.nftName(request.cgroup);
  std::optional<NftCgroup> exceptedName;
  if (excepted) exceptedName = facilities.tree.nftName(*excepted);
  std::optional<std::uint32_t> udpMark;
  if (request.udpPort) udpMark = udpMarkAt(client.peer.uid, *request.udpPort);
  const RulePair rules = facilities.table.redirect(
      name, exceptedName, request.port,
      request.dnsPort ? std::optional<DnsRedirect>({*request.dnsPort, client.peer.uid})
                      : std::nullopt,
      udpMark, replaced);
  if (held != held_.end()) forget(held, VL("用户 %lld 的客户端重新捕获了它", client.peer.uid));
  // nft found the cgroup by its path; it must still be the cgroup that was checked.
  if (facilities.tree.idOf(request.cgroup) != node.id) {
    facilities.table.remove(rules);
    if (own != client.captures.end()) client.captures.erase(own);
    throw Refusal(VL("cgroup「%@」在检查期间被删除并重建，没有捕获", request.cgroup));
  }
  client.captures[request.cgroup] = {request, node.id, name, exceptedName, rules, udpMark};
  log(VL("客户端（%@）捕获了 cgroup「%@」，转到端口 %lld%@%@%@%@", who(client.peer), request.cgroup,
         request.port,
         request.dnsPort ? VL("，DNS 转到端口 %lld", static_cast<long long>(*request.dnsPort)) : "",
         request.udpPort ? VL("，UDP 转到端口 %lld", static_cast<long long>(*request.udpPort)) : "",
         excepted ? VL("，客户端自己的 cgroup「%@」除外", *excepted) : "",
         request.failsafe ? "" : VL("，断开后拒绝连接")));
  return {};
}

Reply Server::handle(Client& client, const Release& request) {
  if (const auto own = client.captures.find(request.cgroup); own != client.captures.end()) {
    facilities().table.remove(own->second.rules);
    client.captures.erase(own);
    log(VL("客户端（%@）放开了 cgroup「%@」", who(client.peer), request.cgroup));
    return {};
  }
  const auto held = held_.find(request.cgroup);
  if (held != held_.end() && held->second.uid == client.peer.uid) {
    endHold(held, VL("用户 %lld 的客户端放开了它", client.peer.uid));
    return {};
  }
  throw Refusal(VL("这个连接没有捕获 cgroup「%@」", request.cgroup));
}

Reply Server::handle(Client& client, const List&) {
  Reply reply;
  for (const auto& [cgroup, captured] : client.captures) reply.captures.push_back(captured.capture);
  for (const auto& [cgroup, held] : held_) {
    if (held.uid == client.peer.uid) reply.held.push_back(cgroup);
  }
  return reply;
}

std::uint32_t Server::udpMarkAt(uid_t uid, std::uint16_t port) const {
  for (const Client& other : clients_) {
    if (other.peer.uid == uid && other.udp && other.udp->port == port) return other.udp->mark;
  }
  throw Refusal(
      VL("用户 %lld 在端口 %lld 上没有 UDP 透明套接字", uid, static_cast<long long>(port)));
}

const Server::ClientUdp& Server::udpOf(const Client& client) const {
  if (!client.udp) throw Refusal(VL("这个连接还没有要 UDP 套接字"));
  return *client.udp;
}

Reply Server::handle(Client& client, const UdpSockets& request) {
  if (client.udp) throw Refusal(VL("这个连接已经有 UDP 套接字（端口 %lld）", client.udp->port));
  Facilities& facilities = this->facilities();
  if (!facilities.routes) facilities.routes.emplace();
  // The lowest mark no other client holds and no capture still gives: each client's datagrams
  // and answers are told apart by it, and a capture whose UDP sockets went keeps marking for
  // them until its client makes it again, which must not bring its datagrams to someone else.
  std::set<std::uint32_t> taken;
  for (const Client& other : clients_) {
    if (other.udp) taken.insert(other.udp->mark);
    for (const auto& [cgroup, captured] : other.captures) {
      if (captured.udpMark) taken.insert(*captured.udpMark);
    }
  }
  std::uint32_t mark = udpMarkBase + 1;
  while (taken.contains(mark)) ++mark;
  std::vector<UniqueFd> sockets;
  sockets.push_back(receivingSocket(AF_INET, request.port, mark));
  const bool ipv6 = facilities.routes->ipv6();
  if (ipv6) sockets.push_back(receivingSocket(AF_INET6, request.port, mark));
  client.udp = ClientUdp{mark, request.port, facilities.table.deliverUdp(mark, request.port, ipv6)};
  client.passing = std::move(sockets);
  log(VL("客户端（%@）的 UDP 透明套接字在端口 %lld", who(client.peer), request.port));
  return {};
}

Reply Server::handle(Client& client, const ReplySocket& request) {
  client.passing.push_back(replySocket(request.address, request.port, udpOf(client).mark));
  return {};
}

Reply Server::handle(Client& client, const RefuseFlow& request) {
  facilities().table.refuseFlow(udpOf(client).mark, {request.source, request.sourcePort},
                                {request.address, request.port});
  return {};
}

void Server::checkConflicts(const Client& client, const Capture& request) const {
  // The longest list this user's clients could be sent once the capture is made: each of the
  // user's captures may become a held refusal, and is counted at its larger, captured, size.
  Reply longest;
  for (const Client& other : clients_) {
    for (const auto& [cgroup, captured] : other.captures) {
      if (cgroup == request.cgroup) {
        if (&other != &client) {
          throw Refusal(
              VL("cgroup「%@」已被另一个客户端（%@）捕获", request.cgroup, who(other.peer)));
        }
        continue;
      }
      if (overlap(cgroup, request.cgroup))
        throw Refusal(VL("cgroup「%@」与已捕获的 cgroup「%@」重叠", request.cgroup, cgroup));
      if (other.peer.uid == client.peer.uid) longest.captures.push_back(captured.capture);
    }
  }
  for (const auto& [cgroup, held] : held_) {
    if (cgroup == request.cgroup) {
      if (held.uid != client.peer.uid) {
        throw Refusal(
            VL("cgroup「%@」的连接正为用户 %lld 拒绝，不能捕获", request.cgroup, held.uid));
      }
      continue;
    }
    if (overlap(cgroup, request.cgroup)) {
      throw Refusal(VL("cgroup「%@」与连接正被拒绝的 cgroup「%@」重叠", request.cgroup, cgroup));
    }
    if (held.uid == client.peer.uid) longest.held.push_back(cgroup);
  }
  longest.captures.push_back(request);
  if (encode(longest).size() > maxMessageSize) {
    throw Refusal(VL("用户 %lld 捕获的 cgroup 太多：它们的列表会超过 %lld 字节", client.peer.uid,
                     static_cast<long long>(maxMessageSize)));
  }
}

void Server::drop(Clients::iterator client) {
  std::size_t ended = 0;
  for (const auto& [cgroup, captured] : client->captures) {
    try {
      if (captured.capture.failsafe) {
        facilities().table.remove(captured.rules);
        ++ended;
      } else {
        hold(client->peer.uid, cgroup, captured);
      }
    } catch (const Error& error) {
      log(VL("结束 cgroup「%@」的捕获时出错：%@", cgroup, error.description()));
    }
  }
  if (client->udp) {
    try {
      facilities().table.remove(client->udp->rules);
    } catch (const Error& error) {
      log(VL("移除 UDP 规则时出错：%@", error.description()));
    }
  }
  log(VL("客户端已断开（%@），结束了 %lld 个捕获", who(client->peer),
         static_cast<long long>(ended)));
  clients_.erase(client);
}

void Server::hold(uid_t uid, const std::string& cgroup, const Captured& captured) {
  Facilities& facilities = this->facilities();
  std::optional<int> watch;
  try {
    watch = facilities.tree.watchEvents(inotify_.get(), cgroup, captured.id);
  } catch (const CgroupError&) {
    // Without a watch the refusal could outlive its cgroup unnoticed: the capture ends instead.
    facilities.table.remove(captured.rules);
    throw;
  }
  if (!watch) {
    // The cgroup is gone, and with it every connection there was to refuse.
    facilities.table.remove(captured.rules);
    return;
  }
  RulePair rules;
  try {
    rules = facilities.table.refuse(captured.name, captured.excepted,
                                    captured.capture.dnsPort.has_value(),
                                    captured.capture.udpPort.has_value(), captured.rules);
  } catch (const NftError&) {
    ::inotify_rm_watch(inotify_.get(), *watch);
    facilities.table.remove(captured.rules);
    throw;
  }
  const auto held =
      held_.insert_or_assign(cgroup, Held{uid, captured.id, captured.name, rules, *watch}).first;
  log(VL("开始拒绝 cgroup「%@」的 TCP 连接：用户 %lld 的客户端已断开，它要求断开后不直连", cgroup,
         uid));
  checkHeld(held);
}

void Server::readWatches() {
  alignas(inotify_event) char buffer[4096];
  std::set<int> changed;
  ssize_t size;
  while ((size = ::read(inotify_.get(), buffer, sizeof buffer)) > 0) {
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(size);) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      changed.insert(event->wd);
      at += sizeof(inotify_event) + event->len;
    }
  }
  // An overflow of the queue (watch -1) may have hidden any change.
  const bool all = changed.contains(-1);
  for (auto held = held_.begin(); held != held_.end();) {
    const auto current = held++;
    if (!all && !changed.contains(current->second.watch)) continue;
    try {
      checkHeld(current);
    } catch (const Error& error) {
      log(VL("无法结束对 cgroup「%@」的拒绝：%@", current->first, error.description()));
    }
  }
}

void Server::checkHeld(HeldCgroups::iterator held) {
  const std::optional<bool> populated = facilities().tree.populated(held->first, held->second.id);
  if (populated == true) return;
  endHold(held, populated ? VL("cgroup 已空") : VL("cgroup 已删除"));
}

void Server::endHold(HeldCgroups::iterator held, const std::string& why) {
  facilities().table.remove(held->second.rules);
  forget(held, why);
}

void Server::forget(HeldCgroups::iterator held, const std::string& why) {
  ::inotify_rm_watch(inotify_.get(), held->second.watch);
  log(VL("不再拒绝 cgroup「%@」的 TCP 连接：%@", held->first, why));
  held_.erase(held);
}

}  // namespace velmora::netd
