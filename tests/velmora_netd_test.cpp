// velmora-netd: the protocol, the reading of the cgroup mount and of a process's cgroup, and the
// capture decision on their own; then the built helper in a network namespace of the test's own,
// with cgroups the test makes, redirecting, holding and refusing the connections of real
// processes; and the policy routing that brings marked UDP to a transparent socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netfilter_ipv4.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "cgroup_tree.h"
#include "daemon_support.h"
#include "kit/discovery/cgroups.h"
#include "kit/file_io.h"
#include "kit/netd_protocol.h"
#include "kit/unique_fd.h"
#include "peer_check.h"
#include "policy_routes.h"
#include "test_support.h"

namespace velmora::netd {

void PrintTo(const Reply& reply, std::ostream* out) {
  *out << encode(reply);
}

void PrintTo(const Capture& capture, std::ostream* out) {
  *out << encode(capture);
}

namespace {

using namespace std::chrono_literals;
using testing::InsideNamespace;
using testing::NetworkNamespace;
using testing::PeerEchoServer;
using testing::RunningDaemon;
using testing::ScratchDirectory;
using testing::TestCgroup;

/// The reason decodeRequest gives, or "" when it reads the message.
std::string refusalOf(std::string_view message) {
  try {
    decodeRequest(message);
    return "";
  } catch (const ProtocolError& error) {
    return error.description();
  }
}

TEST(NetdProtocol, RequestsAreReadStrictly) {
  const std::string longest = "/" + std::string(1023, 'a');
  const std::pair<std::string, std::variant<Request, std::string>> cases[] = {
      {R"({"request":"hello"})", Hello{}},
      {R"( { "request" : "list" } )", List{}},
      {R"({"port":11081,"failsafe":false,"cgroup":"/a/b","request":"capture"})",
       Capture{"/a/b", 11081, false}},
      {R"({"request":"capture","cgroup":"/app.slice/app-My\\x2dTool@7f.service","port":1,)"
       R"("failsafe":true})",
       Capture{"/app.slice/app-My\\x2dTool@7f.service", 1, true}},
      {R"({"request":"capture","cgroup":")" + longest + R"(","port":65520,"failsafe":true})",
       Capture{longest, 65520, true}},
      {R"({"request":"capture","cgroup":"/a","port":1,"failsafe":true,"exceptClient":true})",
       Capture{"/a", 1, true, true}},
      {R"({"request":"capture","cgroup":"/a","port":1,"failsafe":true,"dnsPort":53})",
       Capture{"/a", 1, true, false, 53}},
      {R"({"request":"capture","cgroup":"/a","port":1,"failsafe":true,"udpPort":1024})",
       Capture{"/a", 1, true, false, std::nullopt, 1024}},
      {R"({"request":"release","cgroup":"/a/中 文"})", Release{"/a/中 文"}},
      {R"({"request":"udpSockets","port":11090})", UdpSockets{11090}},
      {R"({"request":"replySocket","address":"2001:db8::7","port":443})",
       ReplySocket{"2001:db8::7", 443}},
      {R"({"request":"refuseFlow","source":"10.0.0.2","sourcePort":4,"address":"1.2.3.4",)"
       R"("port":443})",
       RefuseFlow{"10.0.0.2", 4, "1.2.3.4", 443}},

      {"", "请求无效：JSON 格式错误：内容在第 1 字节处意外结束"},
      {"hello", "请求无效：JSON 格式错误：第 1 字节处有语法错误"},
      {R"({"request":"hello"}{"request":"hello"})",
       "请求无效：JSON 格式错误：内容在第 20 字节处意外结束"},
      {"[\"hello\"]", "请求无效：JSON 数据无效：文档应为对象"},
      {R"({"request":"reboot"})", "请求无效：未知的请求「reboot」"},
      {R"({"request":1})", "请求无效：JSON 数据无效：键「request」应为字符串"},
      {R"({"request":"hello","as":"root"})", "请求无效：未知的键「as」"},
      {R"({"request":"release","cgroup":"/a","port":1})", "请求无效：未知的键「port」"},
      {R"({"request":"list","request":"hello"})", "请求无效：键「request」出现了不止一次"},
      {R"({"request":"capture","cgroup":"/a","port":1})",
       "请求无效：JSON 数据无效：缺少键「failsafe」"},
      {R"({"request":"capture","cgroup":"/a","port":1,"failsafe":null})",
       "请求无效：JSON 数据无效：键「failsafe」不能为 null"},
      {R"({"request":"capture","cgroup":"/a","port":1,"failsafe":"no"})",
       "请求无效：JSON 数据无效：键「failsafe」应为布尔值"},
      {R"({"request":"capture","cgroup":"/a","port":0,"failsafe":true})",
       "请求无效：JSON 数据无效：键「port」的值 0 无效"},
      {R"({"request":"capture","cgroup":"/a","port":65536,"failsafe":true})",
       "请求无效：JSON 数据无效：键「port」的值 65536 无效"},
      {R"({"request":"capture","cgroup":"/a","port":65521,"failsafe":true})",
       "请求无效：JSON 数据无效：键「port」的值 65521 无效"},
      {R"({"request":"capture","cgroup":"/a","port":80.0,"failsafe":true})",
       "请求无效：JSON 数据无效：键「port」应为整数"},
      {R"({"request":"capture","cgroup":"/a","port":1,"failsafe":true,"exceptClient":1})",
       "请求无效：JSON 数据无效：键「exceptClient」应为布尔值"},
      {R"({"request":"capture","cgroup":"/a","port":1,"failsafe":true,"dnsPort":0})",
       "请求无效：JSON 数据无效：键「dnsPort」的值 0 无效"},
      {R"({"request":"capture","cgroup":"/a","port":1,"failsafe":true,"udpPort":53})",
       "请求无效：JSON 数据无效：键「udpPort」的值 53 无效"},
      {R"({"request":"udpSockets","port":1023})",
       "请求无效：JSON 数据无效：键「port」的值 1023 无效"},
      {R"({"request":"replySocket","address":"example.com","port":443})",
       "请求无效：JSON 数据无效：键「address」的值 \"example.com\" 无效"},
      {R"({"request":"replySocket","address":"1.2.3.4","port":0})",
       "请求无效：JSON 数据无效：键「port」的值 0 无效"},
      {R"({"request":"refuseFlow","source":"10.0.0.2","address":"1.2.3.4","port":443})",
       "请求无效：JSON 数据无效：缺少键「sourcePort」"},
      {R"({"request":"capture","cgroup":["/a"],"port":80,"failsafe":true})",
       "请求无效：JSON 数据无效：键「cgroup」应为字符串"},
      {R"({"request":"release","cgroup":"a/b"})", "请求无效：cgroup 应以「/」开头"},
      {R"({"request":"release","cgroup":""})", "请求无效：cgroup 应以「/」开头"},
      {R"({"request":"release","cgroup":"/"})", "请求无效：cgroup 不能是根「/」"},
      {R"({"request":"release","cgroup":"/a//b"})",
       "请求无效：cgroup 含有空的、「.」或「..」的部分"},
      {R"({"request":"release","cgroup":"/a/"})", "请求无效：cgroup 含有空的、「.」或「..」的部分"},
      {R"({"request":"release","cgroup":"/a/./b"})",
       "请求无效：cgroup 含有空的、「.」或「..」的部分"},
      {R"({"request":"release","cgroup":"/a/.."})",
       "请求无效：cgroup 含有空的、「.」或「..」的部分"},
      {R"({"request":"release","cgroup":"/a\u0000b"})", "请求无效：cgroup 含有控制字符"},
      {R"({"request":"release","cgroup":"/a\nb"})", "请求无效：cgroup 含有控制字符"},
      {"{\"request\":\"release\",\"cgroup\":\"/a\xff\"}",
       "请求无效：JSON 格式错误：第 34 字节处的文本不是有效的 UTF-8"},
      {R"({"request":"release","cgroup":")" + longest + R"(b"})",
       "请求无效：cgroup 超过 1024 字节"},
      {R"({"request":"hello","padding":")" + std::string(4070, ' ') + R"("})",
       "请求超过 4096 字节"},
  };
  for (const auto& [message, expected] : cases) {
    if (const auto* request = std::get_if<Request>(&expected)) {
      EXPECT_EQ(refusalOf(message), "") << message;
      if (refusalOf(message).empty()) {
        EXPECT_TRUE(decodeRequest(message) == *request) << message;
      }
    } else {
      EXPECT_EQ(refusalOf(message), std::get<std::string>(expected)) << message;
    }
  }
}

TEST(NetdProtocol, RequestsAreWrittenInOneFormThatReadsBack) {
  const std::pair<Request, std::string> cases[] = {
      {Hello{}, R"({"request":"hello"})"},
      {Capture{"/a/b", 11081, false},
       R"({"cgroup":"\/a\/b","failsafe":false,"port":11081,"request":"capture"})"},
      {Capture{"/a", 1, true, true},
       R"({"cgroup":"\/a","exceptClient":true,"failsafe":true,"port":1,"request":"capture"})"},
      {Capture{"/a", 1, true, false, 11053},
       R"({"cgroup":"\/a","dnsPort":11053,"failsafe":true,"port":1,"request":"capture"})"},
      {Release{"/a"}, R"({"cgroup":"\/a","request":"release"})"},
      {List{}, R"({"request":"list"})"},
      {Capture{"/a", 1, true, false, std::nullopt, 11090},
       R"({"cgroup":"\/a","failsafe":true,"port":1,"request":"capture","udpPort":11090})"},
      {UdpSockets{11090}, R"({"port":11090,"request":"udpSockets"})"},
      {ReplySocket{"::1", 9}, R"({"address":"::1","port":9,"request":"replySocket"})"},
      {RefuseFlow{"::2", 1, "::3", 2},
       R"({"address":"::3","port":2,"request":"refuseFlow","source":"::2","sourcePort":1})"},
  };
  for (const auto& [request, text] : cases) {
    EXPECT_EQ(encode(request), text);
    EXPECT_TRUE(decodeRequest(text) == request) << text;
  }
}

TEST(NetdProtocol, RepliesCarryOnlyWhatAppliesAndAreReadStrictly) {
  const std::pair<Reply, std::string> written[] = {
      {Reply{}, R"({"ok":true})"},
      {Reply{.cgroupRoot = "/sys/fs/cgroup"}, R"({"cgroupRoot":"\/sys\/fs\/cgroup","ok":true})"},
      {Reply{.captures = {{"/a", 1, true}, {"/b", 2, false}}, .held = {"/c"}},
       R"({"captures":[{"cgroup":"\/a","failsafe":true,"port":1},)"
       R"({"cgroup":"\/b","failsafe":false,"port":2}],"held":["\/c"],"ok":true})"},
      {Reply{.ok = false, .error = "端口 1 上没有监听套接字"},
       R"({"error":"端口 1 上没有监听套接字","ok":false})"},
  };
  for (const auto& [reply, text] : written) {
    EXPECT_EQ(encode(reply), text);
    EXPECT_EQ(decodeReply(text), reply) << text;
  }

  const std::pair<std::string, std::string> refused[] = {
      {R"({"ok":false})", "回复无效：JSON 数据无效：缺少键「error」"},
      {R"({"ok":false,"error":""})", "回复无效：JSON 数据无效：键「error」的值 \"\" 无效"},
      {R"({"ok":false,"error":"x","held":[]})", "回复无效：未知的键「held」"},
      {R"({"ok":true,"error":"x"})", "回复无效：未知的键「error」"},
      {R"({"ok":"yes"})", "回复无效：JSON 数据无效：键「ok」应为布尔值"},
      {R"({"ok":true,"captures":[{"cgroup":"/a","port":1,"failsafe":true,"uid":0}]})",
       "回复无效：未知的键「uid」"},
      {R"({"ok":true,"captures":[{"cgroup":"/a","port":0,"failsafe":true}]})",
       "回复无效：JSON 数据无效：键「captures[0].port」的值 0 无效"},
      {R"({"ok":true,"held":["a"]})", "回复无效：cgroup 应以「/」开头"},
      {R"({"ok":true,"held":"/a"})", "回复无效：JSON 数据无效：键「held」应为数组"},
      {std::string(4097, ' '), "回复超过 4096 字节"},
  };
  for (const auto& [text, reason] : refused) {
    try {
      decodeReply(text);
      ADD_FAILURE() << text;
    } catch (const ProtocolError& error) {
      EXPECT_EQ(error.description(), reason) << text;
    }
  }
}

TEST(NetdProtocol, AnErrorTooLongForOneMessageIsCutBetweenCharacters) {
  for (const std::string& error :
       {std::string(5000, 'e'), "中" + std::string(3000, '"'), std::string(2000, '\x01')}) {
    const std::string text = encode(Reply{.ok = false, .error = error});
    EXPECT_LE(text.size(), maxMessageSize);
    const Reply read = decodeReply(text);
    EXPECT_TRUE(read.error.ends_with("…"));
    EXPECT_TRUE(error.starts_with(read.error.substr(0, read.error.size() - 3)));
    EXPECT_GT(read.error.size(), 600u);
  }
}

TEST(NetdProtocol, TheSocketPathComesFromTheEnvironmentWhenSet) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, "/run/velmora-netd.sock"},
      {"", "/run/velmora-netd.sock"},
      {"/tmp/n.sock", "/tmp/n.sock"},
  };
  for (const auto& [variable, path] : cases) {
    const testing::ScopedEnvironmentVariable set("VELMORA_NETD_SOCKET", variable);
    EXPECT_EQ(socketPath(), path);
  }
}

TEST(CgroupTree, AHierarchyNftCannotFindOrThatIsNotCgroup2IsRefused) {
  const std::pair<std::string, std::string> cases[] = {
      {"/mnt/cgroup",
       "cgroup v2 挂载在「/mnt/cgroup」，不在 /sys/fs/cgroup 之下，nftables 找不到其中的 cgroup"},
      {"/sys/fs/cgroupv2",
       "cgroup v2 挂载在「/sys/fs/cgroupv2」，不在 /sys/fs/cgroup 之下，nftables 找不到其中的 "
       "cgroup"},
      {"/sys/fs/cgroup/no-such-mount", "「/sys/fs/cgroup/no-such-mount」不是 cgroup v2 文件系统"},
  };
  for (const auto& [mountPoint, reason] : cases) {
    try {
      CgroupTree tree(mountPoint);
      ADD_FAILURE() << mountPoint;
    } catch (const CgroupError& error) {
      EXPECT_EQ(error.description(), reason);
    }
  }
}

TEST(PeerCheck, OnlyLoopbackAndWildcardListenersReceiveRedirects) {
  const std::pair<std::string, bool> cases[] = {
      {"127.0.0.1", true},        {"0.0.0.0", true}, {"127.0.0.2", false},
      {"10.0.0.1", false},        {"::1", true},     {"::", true},
      {"::ffff:127.0.0.1", true}, {"::2", false},    {"fe80::1", false},
      {"::ffff:10.0.0.1", false},
  };
  for (const auto& [text, reached] : cases) {
    std::array<std::uint32_t, 4> address{};
    const sa_family_t family = text.find(':') == std::string::npos ? AF_INET : AF_INET6;
    ASSERT_EQ(inet_pton(family, text.c_str(), address.data()), 1);
    EXPECT_EQ(reachedByRedirect(family, address), reached) << text;
  }
}

/// The same listeners at every port of the span.
std::vector<std::vector<uid_t>> everyPort(const std::vector<uid_t>& owners) {
  return std::vector<std::vector<uid_t>>(transparentPortSpan, owners);
}

TEST(PeerCheck, ACaptureNeedsTheCgroupOwnerAListenerOfTheSameUserAndAClientOutsideOrExcepted) {
  const CaptureFacts allowed{.peer = {1000, 42},
                             .clientCgroup = "/user.slice/velmorad.service",
                             .cgroup = "/user.slice/app-a.scope",
                             .cgroupOwner = 1000,
                             .port = 11081,
                             .listenerOwners = everyPort({1000, 1000})};
  const auto with = [&](auto change) {
    CaptureFacts facts = allowed;
    change(facts);
    return facts;
  };
  // The reason of the refusal, or "" with the cgroup the capture leaves out.
  struct Case {
    CaptureFacts facts;
    std::string reason;
    std::optional<std::string> excepted;
  };
  const Case cases[] = {
      {allowed, ""},
      {with([](CaptureFacts& f) { f.exceptClient = true; }), ""},
      {with([](CaptureFacts& f) {
         f.cgroup = "/user.slice";
         f.exceptClient = true;
       }),
       "", "/user.slice/velmorad.service"},
      {with([](CaptureFacts& f) {
         f.cgroup = "/user.slice/velmorad.service";
         f.exceptClient = true;
       }),
       "客户端进程 42 就在 cgroup「/user.slice/velmorad.service」里，没有自己的下级 cgroup "
       "可以留在捕获之外"},
      {with([](CaptureFacts& f) {
         f.peer.uid = 0;
         f.listenerOwners = everyPort({0});
       }),
       ""},
      {with([](CaptureFacts& f) { f.clientCgroup = "/user.slice/app-a.scopex"; }), ""},
      {with([](CaptureFacts& f) { f.cgroupOwner = 0; }),
       "cgroup「/user.slice/app-a.scope」不属于用户 1000，不能捕获"},
      {with([](CaptureFacts& f) { f.clientCgroup.reset(); }), "读不到客户端进程 42 所在的 cgroup"},
      {with([](CaptureFacts& f) { f.clientCgroup = "/user.slice/app-a.scope"; }),
       "cgroup「/user.slice/app-a.scope」包含客户端进程 42 自己，捕获它会连客户端自己的连接也转走"},
      {with([](CaptureFacts& f) { f.cgroup = "/user.slice"; }),
       "cgroup「/user.slice」包含客户端进程 42 自己，捕获它会连客户端自己的连接也转走"},
      {with([](CaptureFacts& f) { f.listenerOwners = {}; }),
       "TCP 端口 11081 上没有用户 1000 的监听套接字"},
      {with([](CaptureFacts& f) { f.listenerOwners[5] = {}; }),
       "TCP 端口 11086 上没有用户 1000 的监听套接字"},
      {with([](CaptureFacts& f) {
         f.listenerOwners = everyPort({1000, 1001});
       }),
       "TCP 端口 11081 上有用户 1001 的监听套接字，不能转到那里"},
      {with([](CaptureFacts& f) {
         f.peer.uid = 0;
         f.listenerOwners = everyPort({1000});
       }),
       "TCP 端口 11081 上有用户 1000 的监听套接字，不能转到那里"},
      {with([](CaptureFacts& f) {
         f.dnsPort = 11053;
         f.dnsUdpOwners = {1000};
         f.dnsTcpOwners = {1000, 1000};
       }),
       ""},
      {with([](CaptureFacts& f) {
         f.dnsPort = 11053;
         f.dnsTcpOwners = {1000};
       }),
       "UDP 端口 11053 上没有用户 1000 的监听套接字"},
      {with([](CaptureFacts& f) {
         f.dnsPort = 11053;
         f.dnsUdpOwners = {1000};
         f.dnsTcpOwners = {1001};
       }),
       "TCP 端口 11053 上有用户 1001 的监听套接字，不能转到那里"},
  };
  for (const auto& [facts, reason, excepted] : cases) {
    try {
      EXPECT_EQ(authorizeCapture(facts), excepted) << facts.cgroup;
      EXPECT_EQ("", reason);
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.description(), reason);
    }
  }
}

// ---- The built helper, in a network namespace and with cgroups of the test's own.

constexpr uid_t nobody = 65534;

/// Runs work on a thread of its own whose effective uid, and with it the file-system uid, is
/// uid: the kernel records that uid for the sockets it makes and the connections it opens. The
/// raw system call changes that one thread, where the C library's would change all of them.
template <typename Work>
auto asUser(uid_t uid, Work work) {
  decltype(work()) result{};
  std::thread thread([&] {
    if (syscall(SYS_setresuid, -1, uid, -1) == 0) result = work();
  });
  thread.join();
  return result;
}

/// The socket address of an IPv4 or IPv6 address text and a port, and its size.
std::pair<sockaddr_storage, socklen_t> socketAddress(const std::string& address,
                                                     std::uint16_t port) {
  sockaddr_storage storage{};
  if (address.find(':') == std::string::npos) {
    auto& at = reinterpret_cast<sockaddr_in&>(storage);
    at = {.sin_family = AF_INET, .sin_port = htons(port)};
    inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    return {storage, sizeof at};
  }
  auto& at = reinterpret_cast<sockaddr_in6&>(storage);
  at = {.sin6_family = AF_INET6, .sin6_port = htons(port)};
  inet_pton(AF_INET6, address.c_str(), &at.sin6_addr);
  return {storage, sizeof at};
}

/// A TCP socket listening at address:port (any port when 0), as the calling thread's user.
UniqueFd listenAt(const std::string& address, std::uint16_t port) {
  const auto [storage, size] = socketAddress(address, port);
  UniqueFd fd(socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&storage), size) != 0 ||
      listen(fd.get(), 8) != 0)
    return {};
  return fd;
}

std::uint16_t portOf(int fd) {
  sockaddr_storage storage{};
  socklen_t size = sizeof storage;
  getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
  return ntohs(reinterpret_cast<sockaddr_in&>(storage).sin_port);
}

/// What velmorad's transparent listener would be: 127.0.0.1 and ::1 on a span of ports, the
/// test's user's. It answers every connection with "captured" and notes where it was going.
class RedirectTarget {
 public:
  /// Without ipv6, on 127.0.0.1 alone.
  explicit RedirectTarget(bool ipv6 = true) {
    // The kernel picks the first port; the ones after it may be taken, and then it picks again.
    for (int attempt = 0; attempt < 20 && listeners_.empty(); ++attempt) {
      std::vector<UniqueFd> span;
      span.push_back(listenAt("127.0.0.1", 0));
      const std::uint16_t first = portOf(span.front().get());
      for (std::uint16_t offset = 0; offset < transparentPortSpan && span.back(); ++offset) {
        if (first > 65536 - transparentPortSpan) span.emplace_back();
        if (offset > 0 && span.back())
          span.push_back(listenAt("127.0.0.1", static_cast<std::uint16_t>(first + offset)));
        if (ipv6 && span.back())
          span.push_back(listenAt("::1", static_cast<std::uint16_t>(first + offset)));
      }
      if (span.back()) listeners_ = std::move(span);
    }
  }
  bool listening() const { return !listeners_.empty(); }
  /// The source port of the last connection served, as it arrived.
  std::uint16_t lastPeerPort() const { return lastPeerPort_; }
  std::uint16_t port() const { return portOf(listeners_.front().get()); }

  /// Answers connections until done becomes readable; the original destination of the last one
  /// ("10.1.2.3:80", "[fd00::1]:80"), or "" when none came.
  std::string serveUntil(int done) {
    std::string destination;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::vector<pollfd> watched;
    for (const UniqueFd& listener : listeners_) watched.push_back({listener.get(), POLLIN, 0});
    watched.push_back({done, POLLIN, 0});
    while (std::chrono::steady_clock::now() < deadline) {
      if (poll(watched.data(), watched.size(), 1000) < 0 || watched.back().revents) break;
      for (std::size_t i = 0; i + 1 < watched.size(); ++i) {
        if (!watched[i].revents) continue;
        const UniqueFd connection(accept4(watched[i].fd, nullptr, nullptr, SOCK_CLOEXEC));
        sockaddr_storage local{};
        socklen_t size = sizeof local;
        getsockname(watched[i].fd, reinterpret_cast<sockaddr*>(&local), &size);
        destination = originalDestination(connection.get(), local.ss_family);
        sockaddr_storage peer{};
        size = sizeof peer;
        getpeername(connection.get(), reinterpret_cast<sockaddr*>(&peer), &size);
        lastPeerPort_ = ntohs(reinterpret_cast<sockaddr_in&>(peer).sin_port);
        EXPECT_EQ(write(connection.get(), "captured\n", 9), 9);
      }
    }
    return destination;
  }

 private:
  static std::string originalDestination(int connection, int family) {
    char text[INET6_ADDRSTRLEN] = {};
    if (family == AF_INET) {
      sockaddr_in original{};
      socklen_t size = sizeof original;
      if (getsockopt(connection, SOL_IP, SO_ORIGINAL_DST, &original, &size) != 0) return "?";
      inet_ntop(AF_INET, &original.sin_addr, text, sizeof text);
      return std::string(text) + ":" + std::to_string(ntohs(original.sin_port));
    }
    // IP6T_SO_ORIGINAL_DST has the same number as its IPv4 twin.
    sockaddr_in6 original{};
    socklen_t size = sizeof original;
    if (getsockopt(connection, SOL_IPV6, SO_ORIGINAL_DST, &original, &size) != 0) return "?";
    inet_ntop(AF_INET6, &original.sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(original.sin6_port));
  }

  std::vector<UniqueFd> listeners_;
  std::uint16_t lastPeerPort_ = 0;
};

/// In a forked child only system calls are safe: the test has other threads. The child keeps the
/// descriptors given as 100, 101, … and closes every other one, so that it holds no connection of
/// the test's open.
void keepOnly(std::initializer_list<int> descriptors) {
  int next = 100;
  for (const int fd : descriptors) dup2(fd, next++);
  close_range(3, 99, 0);
  close_range(static_cast<unsigned>(next), ~0u, 0);
}

/// A process that lives in a cgroup until it is killed, keeping the cgroup populated.
class Resident {
 public:
  /// Returns once the process is in the cgroup.
  explicit Resident(const TestCgroup& cgroup) {
    const UniqueFd procs(open(cgroup.procs().c_str(), O_WRONLY | O_CLOEXEC));
    int moved[2];
    EXPECT_EQ(pipe2(moved, O_CLOEXEC), 0);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      keepOnly({procs.get(), moved[1]});
      if (write(100, "0", 1) != 1 || write(101, "!", 1) != 1) _exit(1);
      while (true) pause();
    }
    close(moved[1]);
    char signal = 0;
    EXPECT_EQ(read(moved[0], &signal, 1), 1);
    close(moved[0]);
  }
  ~Resident() { end(); }
  Resident(const Resident&) = delete;
  Resident& operator=(const Resident&) = delete;

  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

/// Where a connection from a process of a cgroup ended up.
struct Landing {
  /// The first line the process read: "captured" from the redirect target, or the peer address
  /// the destination saw.
  std::string received;
  int connectError = 0;
  /// What SO_ORIGINAL_DST said at the redirect target.
  std::string originalDestination;

  bool operator==(const Landing&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Landing& landing) {
  return out << "{\"" << landing.received << "\", " << std::strerror(landing.connectError) << ", \""
             << landing.originalDestination << "\"}";
}

/// A connection to the helper, as the test's user or as another one.
class HelperClient {
 public:
  explicit HelperClient(const std::string& socketPath, std::optional<uid_t> user = std::nullopt) {
    const auto open = [&socketPath] {
      UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
      sockaddr_un address{.sun_family = AF_UNIX};
      std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
      if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.reset();
      return fd;
    };
    fd_ = user ? asUser(*user, open) : open();
    const timeval limit{.tv_sec = 10, .tv_usec = 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }

  bool connected() const { return static_cast<bool>(fd_); }
  Reply ask(const Request& request) { return decodeReply(exchange(encode(request))); }
  /// Asks, and keeps the sockets that came with the reply.
  Reply ask(const Request& request, std::vector<UniqueFd>& sockets) {
    const std::string message = encode(request);
    if (send(fd_.get(), message.data(), message.size(), MSG_NOSIGNAL) < 0) return {false, "send"};
    char buffer[maxMessageSize];
    iovec part{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr received{.msg_iov = &part,
                    .msg_iovlen = 1,
                    .msg_control = control,
                    .msg_controllen = sizeof control};
    const ssize_t size = recvmsg(fd_.get(), &received, MSG_CMSG_CLOEXEC);
    if (size <= 0) return {false, "recv"};
    for (cmsghdr* header = CMSG_FIRSTHDR(&received); header;
         header = CMSG_NXTHDR(&received, header)) {
      for (std::size_t at = CMSG_LEN(0); at + sizeof(int) <= header->cmsg_len; at += sizeof(int)) {
        int fd;
        std::memcpy(&fd, reinterpret_cast<char*>(header) + at, sizeof fd);
        sockets.emplace_back(fd);
      }
    }
    return decodeReply(std::string_view(buffer, static_cast<std::size_t>(size)));
  }
  /// Sends one message and returns the one that answers it ("" when none came).
  std::string exchange(std::string_view message) {
    if (send(fd_.get(), message.data(), message.size(), MSG_NOSIGNAL) < 0) return "";
    char buffer[maxMessageSize + 1];
    const ssize_t size = recv(fd_.get(), buffer, sizeof buffer, 0);
    return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : "";
  }
  /// True when the helper has closed the connection.
  bool closedByHelper() {
    char byte;
    return recv(fd_.get(), &byte, 1, 0) == 0;
  }
  void close() { fd_.reset(); }

 private:
  UniqueFd fd_;
};

class NetdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0)
      GTEST_SKIP() << "the helper needs root: it makes nftables rules, and the test makes a "
                      "network namespace and cgroups";
    const std::optional<std::filesystem::path> mounted = cgroups::mount();
    if (!mounted) GTEST_SKIP() << "cgroup v2 is not mounted here";
    mountPoint = mounted->string();
    network = std::make_unique<NetworkNamespace>();
    if (!network->available()) GTEST_SKIP() << "making a network namespace needs ip(8)";
    ASSERT_TRUE(network->ip({"link", "set", "lo", "up"}));
    ASSERT_TRUE(network->ip({"addr", "add", "10.77.3.1/32", "dev", "lo"}));
    ASSERT_TRUE(network->ip({"-6", "addr", "add", "fd00:77::1/128", "dev", "lo", "nodad"}));
    inside = std::make_unique<InsideNamespace>(network->name());
    ASSERT_TRUE(inside->entered());
    // Other users' clients reach the socket through the scratch directory.
    ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
    socketPath = (scratch.path() / "netd.sock").string();
    destination = std::make_unique<PeerEchoServer>("10.77.3.1");
    loopbackDestination = std::make_unique<PeerEchoServer>("127.0.0.1");
    redirectTarget = std::make_unique<RedirectTarget>();
    ASSERT_TRUE(redirectTarget->listening());
  }

  void TearDown() override {
    helper.reset();
    redirectTarget.reset();
    destination.reset();
    loopbackDestination.reset();
  }

  std::unique_ptr<RunningDaemon> startHelper() {
    auto started = std::make_unique<RunningDaemon>(RunningDaemon::Options{
        .home = scratch.path(), .command = {VELMORA_NETD_PATH, "--socket", socketPath}});
    EXPECT_TRUE(started->waitUntilReady()) << started->log();
    return started;
  }

  /// A cgroup of a name of the test's own, below the cgroup given; its name ends in suffix.
  std::unique_ptr<TestCgroup> makeCgroup(const std::string& below = "",
                                         const std::string& suffix = "") {
    static int count = 0;
    auto cgroup =
        std::make_unique<TestCgroup>(below + "/velmora-netd-test-" + std::to_string(getpid()) +
                                     "-" + std::to_string(++count) + suffix);
    EXPECT_TRUE(cgroup->made()) << cgroup->directory() << ": " << std::strerror(errno);
    return cgroup;
  }

  /// Connects from a new process, placed in cgroup unless it is null, to address:port and reads
  /// the first line the other end writes.
  Landing connectFrom(const TestCgroup* cgroup, const std::string& address, std::uint16_t port,
                      RedirectTarget* at = nullptr, std::uint16_t fromPort = 0) {
    const auto [storage, size] = socketAddress(address, port);
    const UniqueFd procs(cgroup ? open(cgroup->procs().c_str(), O_WRONLY | O_CLOEXEC) : -1);
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    struct Report {
      int connectError = 0;
      char received[64] = {};
    };
    const pid_t child = fork();
    if (child == 0) {
      keepOnly({report[1], procs ? procs.get() : report[1]});
      Report result;
      if (procs && write(101, "0", 1) != 1) _exit(1);
      const int fd = socket(storage.ss_family, SOCK_STREAM, 0);
      const timeval limit{.tv_sec = 5, .tv_usec = 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      const int one = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      const sockaddr_in from{.sin_family = AF_INET, .sin_port = htons(fromPort)};
      if (fromPort != 0 && bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
        result.connectError = errno;
      } else if (connect(fd, reinterpret_cast<const sockaddr*>(&storage), size) != 0) {
        result.connectError = errno;
      } else {
        std::size_t filled = 0;
        while (filled < sizeof result.received - 1 && !std::memchr(result.received, '\n', filled)) {
          const ssize_t got =
              read(fd, result.received + filled, sizeof result.received - 1 - filled);
          if (got <= 0) break;
          filled += static_cast<std::size_t>(got);
        }
      }
      _exit(write(100, &result, sizeof result) == sizeof result ? 0 : 1);
    }
    close(report[1]);
    Landing landing;
    landing.originalDestination = (at ? *at : *redirectTarget).serveUntil(report[0]);
    Report result;
    if (read(report[0], &result, sizeof result) == sizeof result) {
      landing.connectError = result.connectError;
      landing.received = std::string(result.received, strcspn(result.received, "\n"));
    }
    close(report[0]);
    waitpid(child, nullptr, 0);
    return landing;
  }

  /// What a process of cgroup sees of a datagram it sends to 10.77.3.1:port, where the test
  /// listens: "refused" at once, "sent" when the test received it there, or "to DNS" when the
  /// socket dnsListener received it instead.
  std::string datagramFrom(const TestCgroup& cgroup, std::uint16_t port, int dnsListener = -1) {
    const UniqueFd listener(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto [storage, size] = socketAddress("10.77.3.1", port);
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&storage), size) != 0)
      return "cannot listen";
    const UniqueFd procs(open(cgroup.procs().c_str(), O_WRONLY | O_CLOEXEC));
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t child = fork();
    if (child == 0) {
      keepOnly({report[1], procs.get()});
      if (write(101, "0", 1) != 1) _exit(1);
      const int fd = socket(AF_INET, SOCK_DGRAM, 0);
      const timeval limit{.tv_sec = 1, .tv_usec = 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      char reply;
      int error = 0;
      if (connect(fd, reinterpret_cast<const sockaddr*>(&storage), size) != 0 ||
          send(fd, "q", 1, 0) != 1 || recv(fd, &reply, 1, 0) != 1)
        error = errno;
      _exit(write(100, &error, sizeof error) == sizeof error ? 0 : 1);
    }
    close(report[1]);
    int error = 0;
    const bool reported = read(report[0], &error, sizeof error) == sizeof error;
    close(report[0]);
    waitpid(child, nullptr, 0);
    char got;
    // The refusal's ICMP reaches the socket, or the send itself already fails.
    if (reported && (error == ECONNREFUSED || error == EPERM)) return "refused";
    if (dnsListener >= 0 && recv(dnsListener, &got, 1, MSG_DONTWAIT) == 1) return "to DNS";
    return recv(listener.get(), &got, 1, MSG_DONTWAIT) == 1 ? "sent" : std::strerror(error);
  }

  /// Sends requests to the helper from a new process that has moved itself into cgroup first,
  /// and returns the replies it got.
  std::vector<Reply> askFrom(const TestCgroup& cgroup, const std::vector<Request>& requests) {
    std::vector<std::string> messages;
    for (const Request& request : requests) messages.push_back(encode(request));
    sockaddr_un address{.sun_family = AF_UNIX};
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const UniqueFd procs(open(cgroup.procs().c_str(), O_WRONLY | O_CLOEXEC));
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    struct Record {
      ssize_t size = 0;
      char bytes[maxMessageSize];
    };
    const pid_t child = fork();
    if (child == 0) {
      keepOnly({report[1], procs.get()});
      if (write(101, "0", 1) != 1) _exit(1);
      const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(1);
      for (const std::string& message : messages) {
        Record record;
        if (send(fd, message.data(), message.size(), MSG_NOSIGNAL) < 0) _exit(1);
        record.size = recv(fd, record.bytes, sizeof record.bytes, 0);
        if (write(100, &record, sizeof record) != sizeof record) _exit(1);
      }
      _exit(0);
    }
    close(report[1]);
    std::vector<Reply> replies;
    Record record;
    while (replies.size() < requests.size() &&
           read(report[0], &record, sizeof record) == sizeof record && record.size > 0)
      replies.push_back(decodeReply(std::string_view(record.bytes, record.size)));
    close(report[0]);
    waitpid(child, nullptr, 0);
    return replies;
  }

  /// A connection redirected to the test's target, as a process of cgroup sees it.
  Landing captured(const std::string& address, std::uint16_t port) const {
    const std::string shown =
        address.find(':') == std::string::npos ? address : "[" + address + "]";
    return {"captured", 0, shown + ":" + std::to_string(port)};
  }
  Landing direct() const { return {"10.77.3.1", 0, ""}; }
  Landing refused() const { return {"", ECONNREFUSED, ""}; }

  std::string mountPoint;
  std::unique_ptr<NetworkNamespace> network;
  std::unique_ptr<InsideNamespace> inside;
  ScratchDirectory scratch;
  std::string socketPath;
  std::unique_ptr<PeerEchoServer> destination;
  std::unique_ptr<PeerEchoServer> loopbackDestination;
  std::unique_ptr<RedirectTarget> redirectTarget;
  std::unique_ptr<RunningDaemon> helper;
};

TEST_F(NetdTest, ACapturedCgroupsConnectionsReachTheListenerAndNoOthers) {
  helper = startHelper();
  const auto app = makeCgroup();
  const auto child = makeCgroup(app->path());
  const auto nested = makeCgroup();
  const auto nestedLeaf = makeCgroup(nested->path());
  const auto other = makeCgroup();
  HelperClient client(socketPath);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.ask(Hello{}), Reply{.cgroupRoot = mountPoint});
  for (const TestCgroup* cgroup : {app.get(), nestedLeaf.get()})
    ASSERT_EQ(client.ask(Capture{cgroup->path(), redirectTarget->port(), true}), Reply{});
  EXPECT_EQ(client.ask(List{}),
            (Reply{.captures = {{app->path(), redirectTarget->port(), true},
                                {nestedLeaf->path(), redirectTarget->port(), true}}}));

  const std::uint16_t port = destination->port();
  EXPECT_EQ(connectFrom(app.get(), "10.77.3.1", port), captured("10.77.3.1", port));
  EXPECT_EQ(connectFrom(app.get(), "fd00:77::1", port), captured("fd00:77::1", port));
  // Below the cgroup, and a cgroup two levels deep.
  EXPECT_EQ(connectFrom(child.get(), "10.77.3.1", port), captured("10.77.3.1", port));
  EXPECT_EQ(connectFrom(nestedLeaf.get(), "10.77.3.1", port), captured("10.77.3.1", port));
  EXPECT_EQ(connectFrom(nested.get(), "10.77.3.1", port), direct());
  EXPECT_EQ(connectFrom(other.get(), "10.77.3.1", port), direct());
  EXPECT_EQ(connectFrom(nullptr, "10.77.3.1", port), direct());
  EXPECT_EQ(connectFrom(app.get(), "127.0.0.1", loopbackDestination->port()),
            (Landing{"127.0.0.1", 0, ""}));
  // QUIC is refused at once, so that browsers fall back to TCP; other UDP passes.
  EXPECT_EQ(datagramFrom(*app, 443), "refused");
  EXPECT_EQ(datagramFrom(*app, 8443), "sent");
  EXPECT_EQ(datagramFrom(*other, 443), "sent");

  // A new capture of the same cgroup by its client moves it.
  RedirectTarget moved;
  ASSERT_TRUE(moved.listening());
  EXPECT_EQ(client.ask(Capture{app->path(), moved.port(), false}), Reply{});
  EXPECT_EQ(client.ask(List{}).captures.front(), (Capture{app->path(), moved.port(), false}));
  EXPECT_EQ(connectFrom(app.get(), "10.77.3.1", port, &moved), captured("10.77.3.1", port));
  EXPECT_EQ(client.ask(Release{app->path()}), Reply{});
  EXPECT_EQ(connectFrom(app.get(), "10.77.3.1", port), direct());
  EXPECT_EQ(client.ask(List{}),
            (Reply{.captures = {{nestedLeaf->path(), redirectTarget->port(), true}}}));
}

TEST_F(NetdTest, ConnectionsFromOneLocalPortToTwoDestinationsKeepThatPort) {
  helper = startHelper();
  const auto app = makeCgroup();
  HelperClient client(socketPath);
  ASSERT_EQ(client.ask(Capture{app->path(), redirectTarget->port(), true}), Reply{});
  // Redirected to one port, the second would meet the first one's tracking entry and be given
  // another source port, which no socket of the program has.
  const PeerEchoServer other("10.77.3.1");
  constexpr std::uint16_t from = 40090;
  for (const std::uint16_t port : {destination->port(), other.port()}) {
    EXPECT_EQ(connectFrom(app.get(), "10.77.3.1", port, nullptr, from),
              captured("10.77.3.1", port));
    EXPECT_EQ(redirectTarget->lastPeerPort(), from);
  }
}

TEST_F(NetdTest, ALeavingClientsCapturesEndOrAreHeldUntilTakenOverOrEmpty) {
  helper = startHelper();
  const auto open = makeCgroup();
  const auto closed = makeCgroup();
  Resident resident(*closed);
  const std::uint16_t port = destination->port();
  {
    HelperClient first(socketPath);
    ASSERT_EQ(first.ask(Capture{open->path(), redirectTarget->port(), true}), Reply{});
    ASSERT_EQ(first.ask(Capture{closed->path(), redirectTarget->port(), false}), Reply{});
    const std::size_t mark = helper->log().size();
    first.close();
    ASSERT_TRUE(helper->waitForLog("客户端已断开", 10s, mark)) << helper->log();
    EXPECT_NE(helper->log().find("开始拒绝 cgroup「" + closed->path() + "」", mark),
              std::string::npos);
  }
  EXPECT_EQ(connectFrom(open.get(), "10.77.3.1", port), direct());
  EXPECT_EQ(connectFrom(closed.get(), "10.77.3.1", port), refused()) << helper->log();

  HelperClient second(socketPath);
  EXPECT_EQ(second.ask(List{}), Reply{.held = {closed->path()}});
  EXPECT_EQ(second.ask(Capture{closed->path(), redirectTarget->port(), false}), Reply{});
  EXPECT_EQ(second.ask(List{}),
            (Reply{.captures = {{closed->path(), redirectTarget->port(), false}}}));
  EXPECT_EQ(connectFrom(closed.get(), "10.77.3.1", port), captured("10.77.3.1", port));

  std::size_t mark = helper->log().size();
  second.close();
  ASSERT_TRUE(helper->waitForLog("客户端已断开", 10s, mark)) << helper->log();
  EXPECT_EQ(connectFrom(closed.get(), "10.77.3.1", port), refused());
  // The hold ends when its cgroup empties.
  mark = helper->log().size();
  resident.end();
  ASSERT_TRUE(helper->waitForLog(
      "不再拒绝 cgroup「" + closed->path() + "」的 TCP 连接：cgroup 已空", 10s, mark))
      << helper->log();
  EXPECT_EQ(connectFrom(closed.get(), "10.77.3.1", port), direct());
  EXPECT_EQ(HelperClient(socketPath).ask(List{}), Reply{});
}

TEST_F(NetdTest, ACapturedCgroupsDnsGoesToItsDnsPortAndIsRefusedWhileHeld) {
  helper = startHelper();
  const auto app = makeCgroup();
  Resident resident(*app);
  // The DNS port is the redirect target's: its TCP listener, and a UDP socket beside it.
  const std::uint16_t dnsPort = redirectTarget->port();
  const UniqueFd dns(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const auto [storage, size] = socketAddress("127.0.0.1", dnsPort);
  ASSERT_EQ(bind(dns.get(), reinterpret_cast<const sockaddr*>(&storage), size), 0);
  {
    HelperClient client(socketPath);
    ASSERT_EQ(client.ask(Capture{app->path(), redirectTarget->port(), false, false, dnsPort}),
              Reply{});
    EXPECT_EQ(datagramFrom(*app, 53, dns.get()), "to DNS");
    EXPECT_EQ(datagramFrom(*app, 5353, dns.get()), "sent");
    const std::size_t mark = helper->log().size();
    client.close();
    ASSERT_TRUE(helper->waitForLog("客户端已断开", 10s, mark)) << helper->log();
  }
  EXPECT_EQ(datagramFrom(*app, 53, dns.get()), "refused");
  EXPECT_EQ(datagramFrom(*app, 5353, dns.get()), "sent");
}

/// What a program saw of a UDP exchange: the error that ended it, or the answer and where it
/// came from.
struct UdpOutcome {
  int error = 0;
  std::string answer;
  std::string from;

  bool operator==(const UdpOutcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const UdpOutcome& outcome) {
  return out << "{" << std::strerror(outcome.error) << ", \"" << outcome.answer << "\", "
             << outcome.from << "}";
}

/// A datagram received at a transparent socket: its data, sender and original destination.
struct Arrival {
  std::string data;
  sockaddr_in sender{};
  std::string destination;
};

std::string text(const sockaddr_in& address) {
  char shown[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, shown, sizeof shown);
  return std::string(shown) + ":" + std::to_string(ntohs(address.sin_port));
}

/// The next datagram at socket within two seconds; nothing when none came.
std::optional<Arrival> arrivalAt(int socket) {
  pollfd readable{.fd = socket, .events = POLLIN};
  if (poll(&readable, 1, 2000) != 1) return std::nullopt;
  char data[64];
  iovec part{data, sizeof data};
  Arrival arrival;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(sockaddr_in6))];
  msghdr message{.msg_name = &arrival.sender,
                 .msg_namelen = sizeof arrival.sender,
                 .msg_iov = &part,
                 .msg_iovlen = 1,
                 .msg_control = control,
                 .msg_controllen = sizeof control};
  const ssize_t size = recvmsg(socket, &message, 0);
  if (size < 0) return std::nullopt;
  arrival.data.assign(data, static_cast<std::size_t>(size));
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_IP && header->cmsg_type == IP_ORIGDSTADDR) {
      sockaddr_in destination;
      std::memcpy(&destination, CMSG_DATA(header), sizeof destination);
      arrival.destination = text(destination);
    }
  }
  return arrival;
}

class CapturedUdpTest : public NetdTest {
 protected:
  void SetUp() override {
    NetdTest::SetUp();
    if (IsSkipped()) return;
    // Destinations off this machine, reached through a link whose other end has no address:
    // only the capture can answer for them.
    ASSERT_TRUE(network->ip({"link", "add", "u0", "type", "veth", "peer", "name", "u1"}));
    ASSERT_TRUE(network->ip({"link", "set", "u0", "up"}));
    ASSERT_TRUE(network->ip({"link", "set", "u1", "up"}));
    ASSERT_TRUE(network->ip({"addr", "add", "198.51.100.1/24", "dev", "u0"}));
  }

  /// Sends "q" from a process of cgroup, from 198.51.100.1:fromPort (any port with 0), to
  /// address:port, and waits up to two seconds for an answer, while meanwhile runs.
  UdpOutcome exchangeFrom(const TestCgroup& cgroup, std::uint16_t fromPort,
                          const std::string& address, std::uint16_t port,
                          const std::function<void()>& meanwhile) {
    const auto [storage, size] = socketAddress(address, port);
    const UniqueFd procs(open(cgroup.procs().c_str(), O_WRONLY | O_CLOEXEC));
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    struct Report {
      int error = 0;
      char answer[16] = {};
      sockaddr_in from{};
    };
    const pid_t child = fork();
    if (child == 0) {
      keepOnly({report[1], procs.get()});
      if (write(101, "0", 1) != 1) _exit(1);
      Report result;
      const int fd = socket(AF_INET, SOCK_DGRAM, 0);
      const timeval limit{.tv_sec = 2, .tv_usec = 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      const sockaddr_in local{
          .sin_family = AF_INET, .sin_port = htons(fromPort), .sin_addr = {htonl(0xc6336401)}};
      socklen_t fromSize = sizeof result.from;
      if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
          connect(fd, reinterpret_cast<const sockaddr*>(&storage), size) != 0 ||
          send(fd, "q", 1, 0) != 1 ||
          recvfrom(fd, result.answer, sizeof result.answer - 1, 0,
                   reinterpret_cast<sockaddr*>(&result.from), &fromSize) < 0)
        result.error = errno;
      _exit(write(100, &result, sizeof result) == sizeof result ? 0 : 1);
    }
    close(report[1]);
    meanwhile();
    Report result;
    UdpOutcome outcome;
    if (read(report[0], &result, sizeof result) == sizeof result)
      outcome = {result.error, result.answer, result.error ? "" : text(result.from)};
    close(report[0]);
    waitpid(child, nullptr, 0);
    return outcome;
  }

  static constexpr std::uint16_t udpPort = 11190;
};

TEST_F(CapturedUdpTest, DatagramsReachTheClientWithTheirDestinationAndAnswersComeFromThere) {
  helper = startHelper();
  const auto app = makeCgroup();
  const auto other = makeCgroup();
  HelperClient client(socketPath);
  std::vector<UniqueFd> sockets;
  ASSERT_EQ(client.ask(UdpSockets{udpPort}, sockets), Reply{});
  ASSERT_GE(sockets.size(), 1u);
  std::vector<UniqueFd> again;
  EXPECT_FALSE(client.ask(UdpSockets{udpPort + 1}, again).ok);
  EXPECT_TRUE(again.empty());
  const std::uint16_t target = redirectTarget->port();
  ASSERT_EQ(client.ask(Capture{app->path(), target, true, false, std::nullopt, udpPort}), Reply{});
  EXPECT_EQ(client.ask(Capture{other->path(), target, true, false, std::nullopt, udpPort + 1}),
            (Reply{false, "用户 0 在端口 11191 上没有 UDP 透明套接字"}));

  // The program's datagram arrives with its destination; the answer, sent from a socket bound
  // there, reaches the program as if the destination had sent it.
  std::optional<Arrival> arrival;
  const UdpOutcome answered = exchangeFrom(*app, 0, "198.51.100.7", 9, [&] {
    arrival = arrivalAt(sockets[0].get());
    if (!arrival) return;
    std::vector<UniqueFd> reply;
    ASSERT_EQ(client.ask(ReplySocket{"198.51.100.7", 9}, reply), Reply{});
    ASSERT_EQ(reply.size(), 1u);
    sendto(reply[0].get(), "a", 1, 0, reinterpret_cast<const sockaddr*>(&arrival->sender),
           sizeof arrival->sender);
    // The same socket may send nothing that is not an answer: not to another of this
    // machine's programs, not to the program from another address.
    const UniqueFd bystander(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto [at, atSize] = socketAddress("10.77.3.1", 9999);
    ASSERT_EQ(bind(bystander.get(), reinterpret_cast<const sockaddr*>(&at), atSize), 0);
    sendto(reply[0].get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&at), atSize);
    pollfd readable{.fd = bystander.get(), .events = POLLIN};
    EXPECT_EQ(poll(&readable, 1, 200), 0) << "a reply socket reached a bystander";
  });
  ASSERT_TRUE(arrival);
  EXPECT_EQ(arrival->data, "q");
  EXPECT_EQ(arrival->destination, "198.51.100.7:9");
  EXPECT_EQ(answered, (UdpOutcome{0, "a", "198.51.100.7:9"}));

  // QUIC is the client's to decide now: it arrives like the rest, unless the client refuses
  // the flow, and then the program hears so at once.
  const UdpOutcome quic = exchangeFrom(*app, 40443, "198.51.100.7", 443,
                                       [&] { arrival = arrivalAt(sockets[0].get()); });
  ASSERT_TRUE(arrival);
  EXPECT_EQ(arrival->destination, "198.51.100.7:443");
  EXPECT_EQ(quic.error, EAGAIN);
  ASSERT_EQ(client.ask(RefuseFlow{"198.51.100.1", 40444, "198.51.100.7", 443}), Reply{});
  // The send itself fails, or the ICMP that answers it reaches the socket.
  const int refused = exchangeFrom(*app, 40444, "198.51.100.7", 443, [] {}).error;
  EXPECT_TRUE(refused == EPERM || refused == ECONNREFUSED) << std::strerror(refused);
  // Another client's refusal does not reach this client's flows.
  HelperClient second(socketPath);
  std::vector<UniqueFd> secondSockets;
  ASSERT_EQ(second.ask(UdpSockets{udpPort + 2}, secondSockets), Reply{});
  ASSERT_EQ(second.ask(RefuseFlow{"198.51.100.1", 40445, "198.51.100.7", 443}), Reply{});
  exchangeFrom(*app, 40445, "198.51.100.7", 443, [&] { arrival = arrivalAt(sockets[0].get()); });
  EXPECT_TRUE(arrival);

  // A capture whose UDP sockets went keeps their mark until its client makes it again: the next
  // sockets get another, and the program's datagrams do not reach them.
  {
    HelperClient holder(socketPath);
    std::vector<UniqueFd> held;
    ASSERT_EQ(holder.ask(UdpSockets{udpPort + 3}, held), Reply{});
    ASSERT_EQ(client.ask(Capture{other->path(), target, true, false, std::nullopt, udpPort + 3}),
              Reply{});
    holder.close();
    // Answered after the helper has seen the holder go.
    ASSERT_EQ(client.ask(List{}).captures.size(), 2u);
    HelperClient next(socketPath);
    std::vector<UniqueFd> nextSockets;
    ASSERT_EQ(next.ask(UdpSockets{udpPort + 4}, nextSockets), Reply{});
    exchangeFrom(*other, 0, "198.51.100.7", 9, [&] { arrival = arrivalAt(nextSockets[0].get()); });
    EXPECT_FALSE(arrival);
    ASSERT_EQ(client.ask(Release{other->path()}), Reply{});
  }

  // Programs outside the capture, DNS and loopback keep their own way.
  EXPECT_EQ(
      exchangeFrom(*other, 0, "198.51.100.7", 9, [&] { arrival = arrivalAt(sockets[0].get()); })
          .error,
      EAGAIN);
  EXPECT_FALSE(arrival);

  // Answers only from where a captured flow went.
  const std::pair<const char*, std::string> refusals[] = {
      {"10.77.3.1", "「10.77.3.1」是本机、回环、组播或广播地址，不能从那里回答"},
      {"127.0.0.1", "「127.0.0.1」是本机、回环、组播或广播地址，不能从那里回答"},
      {"224.0.0.251", "「224.0.0.251」是本机、回环、组播或广播地址，不能从那里回答"},
  };
  for (const auto& [address, reason] : refusals) {
    std::vector<UniqueFd> none;
    EXPECT_EQ(client.ask(ReplySocket{address, 9}, none), (Reply{false, reason}));
    EXPECT_TRUE(none.empty());
  }
  HelperClient stranger(socketPath, nobody);
  EXPECT_EQ(stranger.ask(ReplySocket{"198.51.100.7", 9}),
            (Reply{false, "这个连接还没有要 UDP 套接字"}));
}

TEST_F(NetdTest, WhatAClientMayNotCaptureIsRefusedAndChangesNothing) {
  helper = startHelper();
  const auto nobodys = makeCgroup();
  ASSERT_EQ(chown(nobodys->directory().c_str(), nobody, nobody), 0);
  const auto roots = makeCgroup();
  const std::optional<RedirectTarget> nobodysTarget =
      asUser(nobody, [] { return std::optional<RedirectTarget>(std::in_place, false); });
  ASSERT_TRUE(nobodysTarget && nobodysTarget->listening());
  const std::uint16_t nobodysPort = nobodysTarget->port();
  HelperClient client(socketPath, nobody);
  ASSERT_TRUE(client.connected());
  // Each refusal differs from the capture granted first in one fact.
  const struct {
    const char* what;
    std::string cgroup;
    std::uint16_t port;
    bool granted;
  } cases[] = {
      {"its own cgroup to its own listener", nobodys->path(), nobodysPort, true},
      {"root's cgroup", roots->path(), nobodysPort, false},
      {"root's listener", nobodys->path(), redirectTarget->port(), false},
      {"a port nobody listens on", nobodys->path(), portOf(listenAt("127.0.0.1", 0).get()), false},
  };
  for (const auto& c : cases) {
    const Reply reply = client.ask(Capture{c.cgroup, c.port, true});
    EXPECT_EQ(reply.ok, c.granted) << c.what << ": " << reply.error;
    if (reply.ok) {
      EXPECT_EQ(client.ask(Release{c.cgroup}), Reply{});
    }
    EXPECT_EQ(client.ask(List{}), Reply{}) << c.what;
  }
  // Root listening at a port of the span for IPv6 would receive some of the cgroup's IPv6
  // connections.
  const UniqueFd rootsOnTheSamePort = listenAt("::1", static_cast<std::uint16_t>(nobodysPort + 5));
  ASSERT_TRUE(rootsOnTheSamePort);
  EXPECT_FALSE(client.ask(Capture{nobodys->path(), nobodysPort, true}).ok);
  EXPECT_EQ(connectFrom(nobodys.get(), "10.77.3.1", destination->port()), direct());

  // Any name reaches nftables as it is, or not at all.
  const auto awkward = makeCgroup("", R"( $x;#{}\x2d中文)");
  const auto quoted = makeCgroup("", R"("; flush ruleset; ")");
  HelperClient root(socketPath);
  EXPECT_EQ(root.ask(Capture{awkward->path(), redirectTarget->port(), true}), Reply{});
  EXPECT_EQ(connectFrom(awkward.get(), "10.77.3.1", destination->port()),
            captured("10.77.3.1", destination->port()));
  EXPECT_NE(root.ask(Capture{quoted->path(), redirectTarget->port(), true})
                .error.find("」含有双引号或控制字符，nftables 无法表示"),
            std::string::npos);
  EXPECT_EQ(root.ask(List{}),
            (Reply{.captures = {{awkward->path(), redirectTarget->port(), true}}}));
}

TEST_F(NetdTest, NoClientCapturesItsOwnCgroupOrOneAnotherClientHolds) {
  helper = startHelper();
  const auto outer = makeCgroup();
  const auto inner = makeCgroup(outer->path());
  const auto sibling = makeCgroup();
  const std::vector<Reply> fromInside =
      askFrom(*inner, {Capture{outer->path(), redirectTarget->port(), true},
                       Capture{inner->path(), redirectTarget->port(), true},
                       Capture{sibling->path(), redirectTarget->port(), true}});
  ASSERT_EQ(fromInside.size(), 3u);
  EXPECT_FALSE(fromInside[0].ok);
  EXPECT_FALSE(fromInside[1].ok);
  EXPECT_TRUE(fromInside[2].ok) << fromInside[2].error;

  HelperClient first(socketPath);
  HelperClient second(socketPath);
  ASSERT_EQ(first.ask(Capture{outer->path(), redirectTarget->port(), true}), Reply{});
  EXPECT_FALSE(second.ask(Capture{outer->path(), redirectTarget->port(), true}).ok);
  EXPECT_FALSE(second.ask(Capture{inner->path(), redirectTarget->port(), true}).ok);
  EXPECT_FALSE(second.ask(Release{outer->path()}).ok);
  ASSERT_EQ(first.ask(Release{outer->path()}), Reply{});
  EXPECT_EQ(second.ask(Capture{outer->path(), redirectTarget->port(), true}), Reply{});
}

/// The test process itself, moved into a cgroup for as long as this lives and then back where
/// it was: the helper reads a client's cgroup from the process that connected.
class MovedInto {
 public:
  MovedInto(const std::string& mountPoint, const TestCgroup& cgroup)
      : back_(mountPoint + cgroups::ofProcess(getpid()).value_or("/") + "/cgroup.procs") {
    moved_ = writeTo(cgroup.procs());
  }
  ~MovedInto() {
    if (moved_) {
      EXPECT_TRUE(writeTo(back_)) << back_;
    }
  }
  MovedInto(const MovedInto&) = delete;
  MovedInto& operator=(const MovedInto&) = delete;

  bool moved() const { return moved_; }

 private:
  static bool writeTo(const std::filesystem::path& procs) {
    const UniqueFd fd(open(procs.c_str(), O_WRONLY | O_CLOEXEC));
    return fd && write(fd.get(), "0", 1) == 1;
  }

  std::filesystem::path back_;
  bool moved_ = false;
};

TEST_F(NetdTest, AClientCapturesACgroupAboveItsOwnOnlyWithItsOwnLeftOut) {
  helper = startHelper();
  const auto session = makeCgroup();
  const auto own = makeCgroup(session->path());
  const auto ownChild = makeCgroup(own->path());
  const auto program = makeCgroup(session->path());
  const std::uint16_t port = destination->port();
  const std::uint16_t target = redirectTarget->port();
  // Last made, first gone: the test leaves the cgroups before they are removed.
  const MovedInto moved(mountPoint, *own);
  ASSERT_TRUE(moved.moved());
  HelperClient client(socketPath);
  ASSERT_TRUE(client.connected());
  EXPECT_FALSE(client.ask(Capture{session->path(), target, true}).ok);
  EXPECT_FALSE(client.ask(Capture{own->path(), target, true, true}).ok);
  ASSERT_EQ(client.ask(Capture{session->path(), target, true, true}), Reply{});
  EXPECT_EQ(client.ask(List{}), (Reply{.captures = {{session->path(), target, true, true}}}));

  EXPECT_EQ(connectFrom(session.get(), "10.77.3.1", port), captured("10.77.3.1", port));
  EXPECT_EQ(connectFrom(program.get(), "10.77.3.1", port), captured("10.77.3.1", port));
  EXPECT_EQ(connectFrom(program.get(), "fd00:77::1", port), captured("fd00:77::1", port));
  EXPECT_EQ(connectFrom(own.get(), "10.77.3.1", port), direct());
  EXPECT_EQ(connectFrom(ownChild.get(), "10.77.3.1", port), direct());
  EXPECT_EQ(datagramFrom(*program, 443), "refused");
  EXPECT_EQ(datagramFrom(*own, 443), "sent");

  // Held after the client leaves, the refusal leaves the client's cgroup out as well.
  ASSERT_EQ(client.ask(Capture{session->path(), target, false, true}), Reply{});
  const Resident resident(*program);
  client.close();
  HelperClient next(socketPath);
  ASSERT_EQ(next.ask(List{}).held, std::vector<std::string>{session->path()});
  EXPECT_EQ(connectFrom(program.get(), "10.77.3.1", port), refused());
  EXPECT_EQ(connectFrom(own.get(), "10.77.3.1", port), direct());
  EXPECT_EQ(next.ask(Release{session->path()}), Reply{});
}

TEST_F(NetdTest, MalformedRequestsAndClientsBeyondTheLimitAreTurnedAway) {
  helper = startHelper();
  std::vector<std::unique_ptr<HelperClient>> clients;
  for (int i = 0; i < 9; ++i) clients.push_back(std::make_unique<HelperClient>(socketPath));
  EXPECT_TRUE(clients[7]->ask(Hello{}).ok);
  EXPECT_TRUE(clients[8]->closedByHelper());
  EXPECT_TRUE(HelperClient(socketPath, nobody).ask(Hello{}).ok);
  clients.clear();

  HelperClient client(socketPath, nobody);
  for (const std::string& message :
       {std::string("not json"), std::string(R"({"request":"reboot"})"),
        std::string(maxMessageSize, ' ')})
    EXPECT_FALSE(decodeReply(client.exchange(message)).ok) << message;
  EXPECT_TRUE(client.ask(Hello{}).ok);
  EXPECT_FALSE(decodeReply(client.exchange(std::string(maxMessageSize + 1, ' '))).ok);
  EXPECT_TRUE(client.closedByHelper());
}

TEST_F(NetdTest, WithoutNetAdminHelloSaysWhyCaptureIsUnavailable) {
  const std::string setpriv = "/usr/bin/setpriv";
  if (access(setpriv.c_str(), X_OK) != 0) GTEST_SKIP() << "dropping a capability needs setpriv(1)";
  helper = std::make_unique<RunningDaemon>(RunningDaemon::Options{
      .home = scratch.path(),
      .command = {setpriv, "--bounding-set=-net_admin", "--inh-caps=-net_admin", "--",
                  VELMORA_NETD_PATH, "--socket", socketPath}});
  ASSERT_TRUE(helper->waitUntilReady()) << helper->log();
  const auto app = makeCgroup();
  HelperClient client(socketPath);
  const Reply hello = client.ask(Hello{});
  EXPECT_FALSE(hello.ok);
  EXPECT_TRUE(hello.error.starts_with("nftables 拒绝了命令：")) << hello.error;
  EXPECT_EQ(client.ask(Capture{app->path(), redirectTarget->port(), true}), hello);
  EXPECT_NE(helper->log().find("透明捕获暂不可用：" + hello.error), std::string::npos)
      << helper->log();
}

/// The tables of the calling thread's network namespace, as `nft list tables` shows them.
std::string nftTables() {
  std::string tables;
  FILE* listing = popen("nft list tables 2>&1", "r");
  if (!listing) return "popen failed";
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, listing)) tables += buffer;
  pclose(listing);
  return tables;
}

TEST_F(NetdTest, TheTableGoesWithTheHelperHoweverItEnds) {
  // Killed first: the socket file it leaves is taken over by the next helper.
  for (const int signal : {SIGKILL, SIGTERM}) {
    helper = startHelper();
    EXPECT_NE(nftTables().find("table inet velmora"), std::string::npos) << nftTables();
    RunningDaemon second(
        {.home = scratch.path(), .command = {VELMORA_NETD_PATH, "--socket", socketPath}});
    EXPECT_EQ(second.waitForExit(10s), 1);
    EXPECT_NE(second.log().find("「" + socketPath + "」上已有 velmora-netd 在应答"),
              std::string::npos)
        << second.log();
    kill(helper->pid(), signal);
    EXPECT_EQ(helper->waitForExit(10s), signal == SIGKILL ? 128 + SIGKILL : 0);
    EXPECT_EQ(nftTables().find("velmora"), std::string::npos) << nftTables();
    EXPECT_EQ(std::filesystem::exists(socketPath), signal == SIGKILL);
    helper.reset();
  }
}

/// Policy routing in a network namespace of the test's own, with lo up.
class PolicyRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0)
      GTEST_SKIP() << "policy routing needs root, and the test a network namespace of its own";
    network = std::make_unique<NetworkNamespace>();
    if (!network->available()) GTEST_SKIP() << "making a network namespace needs ip(8)";
    ASSERT_TRUE(network->ip({"link", "set", "lo", "up"}));
    inside = std::make_unique<InsideNamespace>(network->name());
    ASSERT_TRUE(inside->entered());
  }

  /// The lines `ip <arguments>` prints in the namespace, without trailing blanks.
  std::vector<std::string> ipLines(const std::string& arguments) const {
    std::vector<std::string> lines;
    FILE* listing = popen(("ip -n " + network->name() + " " + arguments + " 2>&1").c_str(), "r");
    if (!listing) return {"popen failed"};
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, listing)) {
      std::string line = buffer;
      while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
      lines.push_back(line);
    }
    pclose(listing);
    return lines;
  }

  /// The rules of both families that lead to the helper's table and the routes in it, each line
  /// after its family's ip option.
  std::vector<std::string> installed() const {
    const std::string table = std::to_string(policyTable);
    std::vector<std::string> lines;
    for (const std::string family : {"-4", "-6"}) {
      for (const std::string& line : ipLines(family + " rule"))
        if (line.ends_with("lookup " + table)) lines.push_back(family + " " + line);
      for (const std::string& line : ipLines(family + " route show table " + table))
        lines.push_back(family + " " + line);
    }
    return lines;
  }

  std::unique_ptr<NetworkNamespace> network;
  std::unique_ptr<InsideNamespace> inside;
};

const std::vector<std::string> installedIPv4 = {
    "-4 32282:\tfrom all fwmark 0x7e1a0000/0xffff0000 lookup 32282",
    "-4 local default dev lo proto static scope host",
};
const std::vector<std::string> installedIPv6 = {
    "-6 32282:\tfrom all fwmark 0x7e1a0000/0xffff0000 lookup 32282",
    "-6 local default dev lo proto static metric 1024 pref medium",
};

std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST_F(PolicyRoutesTest, RulesAndRoutesLastAsLongAsTheObjectAndThoseLeftBehindAreReplaced) {
  const std::vector<std::string> both = joined(installedIPv4, installedIPv6);
  {
    PolicyRoutes routes;
    EXPECT_TRUE(routes.ipv6());
    EXPECT_EQ(installed(), both);
  }
  EXPECT_EQ(installed(), std::vector<std::string>{});

  // What a killed helper leaves behind, more that leads to its table or lies there, and what
  // belongs to others and stays.
  const std::vector<std::vector<std::string>> left = {
      {"-4", "rule", "add", "fwmark", "0x7e1a0000/0xffff0000", "lookup", "32282", "priority",
       "32282"},
      {"-6", "rule", "add", "fwmark", "0x7e1a0000/0xffff0000", "lookup", "32282", "priority",
       "32282"},
      {"-4", "route", "add", "local", "default", "dev", "lo", "table", "32282"},
      {"-6", "route", "add", "local", "default", "dev", "lo", "table", "32282"},
      {"-4", "rule", "add", "from", "192.0.2.1", "lookup", "32282", "priority", "100"},
      {"-6", "rule", "add", "from", "2001:db8::1", "lookup", "32282", "priority", "100"},
      {"-4", "route", "add", "unreachable", "192.0.2.0/24", "table", "32282"},
      {"-6", "route", "add", "unreachable", "2001:db8::/64", "table", "32282"},
      {"-4", "rule", "add", "from", "192.0.2.1", "lookup", "100", "priority", "32282"},
      {"-4", "route", "add", "unreachable", "192.0.2.0/24", "table", "100"},
  };
  for (const std::vector<std::string>& command : left) ASSERT_TRUE(network->ip(command));
  const std::vector<std::string> others = {"32282:\tfrom 192.0.2.1 lookup 100",
                                           "unreachable 192.0.2.0/24"};
  {
    PolicyRoutes routes;
    EXPECT_TRUE(routes.ipv6());
    EXPECT_EQ(installed(), both);
  }
  EXPECT_EQ(installed(), std::vector<std::string>{});
  const std::vector<std::string> rules = ipLines("-4 rule");
  EXPECT_NE(std::find(rules.begin(), rules.end(), others[0]), rules.end());
  EXPECT_EQ(ipLines("-4 route show table 100"), std::vector<std::string>{others[1]});
}

TEST_F(PolicyRoutesTest, WithIPv6DisabledOnlyIPv4IsInstalled) {
  ASSERT_TRUE(testing::runQuietly({"ip", "netns", "exec", network->name(), "sysctl", "-qw",
                                   "net.ipv6.conf.all.disable_ipv6=1"}));
  {
    PolicyRoutes routes;
    EXPECT_FALSE(routes.ipv6());
    EXPECT_EQ(installed(), installedIPv4);
  }
  EXPECT_EQ(installed(), std::vector<std::string>{});
}

/// The first datagram a socket with IP_TRANSPARENT bound to address, port 9, receives after a
/// socket without a mark and one with the helper's first client's mark each send it one; or what
/// went wrong.
std::string firstDatagramAt(const std::string& address) {
  sockaddr_storage at{};
  socklen_t size = 0;
  const bool ipv6 = address.find(':') != std::string::npos;
  if (ipv6) {
    auto& ip = reinterpret_cast<sockaddr_in6&>(at);
    ip = {.sin6_family = AF_INET6, .sin6_port = htons(9)};
    inet_pton(AF_INET6, address.c_str(), &ip.sin6_addr);
    size = sizeof ip;
  } else {
    auto& ip = reinterpret_cast<sockaddr_in&>(at);
    ip = {.sin_family = AF_INET, .sin_port = htons(9)};
    inet_pton(AF_INET, address.c_str(), &ip.sin_addr);
    size = sizeof ip;
  }
  const auto* to = reinterpret_cast<const sockaddr*>(&at);
  const UniqueFd receiver(socket(at.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  if (setsockopt(receiver.get(), ipv6 ? SOL_IPV6 : SOL_IP, ipv6 ? IPV6_TRANSPARENT : IP_TRANSPARENT,
                 &on, sizeof on) != 0 ||
      bind(receiver.get(), to, size) != 0)
    return std::string("transparent bind: ") + std::strerror(errno);
  // Unmarked, the datagram follows the main table out through v0 and is gone.
  const UniqueFd plain(socket(at.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sendto(plain.get(), "plain", 5, 0, to, size);
  const UniqueFd marked(socket(at.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const std::uint32_t mark = udpMarkBase | 1;
  if (setsockopt(marked.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0 ||
      sendto(marked.get(), "marked", 6, 0, to, size) != 6)
    return std::string("marked send: ") + std::strerror(errno);
  pollfd wait{.fd = receiver.get(), .events = POLLIN};
  if (poll(&wait, 1, 5000) != 1) return "nothing received";
  char buffer[16];
  const ssize_t received = recv(receiver.get(), buffer, sizeof buffer, 0);
  return received < 0 ? std::string("recv: ") + std::strerror(errno)
                      : std::string(buffer, static_cast<std::size_t>(received));
}

TEST_F(PolicyRoutesTest, MarkedUdpToAnyAddressIsDeliveredToATransparentSocketBoundThere) {
  // Unmarked traffic to the documentation networks leaves through one end of a veth pair (not
  // every kernel has dummy devices) and dies at the other, which has no address.
  ASSERT_TRUE(network->ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}));
  ASSERT_TRUE(network->ip({"link", "set", "v0", "up"}));
  ASSERT_TRUE(network->ip({"link", "set", "v1", "up"}));
  ASSERT_TRUE(network->ip({"-4", "route", "add", "198.51.100.0/24", "dev", "v0"}));
  ASSERT_TRUE(network->ip({"-6", "route", "add", "2001:db8::/64", "dev", "v0"}));
  PolicyRoutes routes;
  ASSERT_TRUE(routes.ipv6());
  for (const std::string address : {"198.51.100.7", "2001:db8::7"}) {
    SCOPED_TRACE(address);
    EXPECT_EQ(firstDatagramAt(address), "marked");
  }
}

}  // namespace
}  // namespace velmora::netd
