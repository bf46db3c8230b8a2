// Tunnel interfaces and their owners, read from a fake /proc tree and given address lists, and
// the cgroup v2 mount and paths. The real tun interface is met through the command line in
// commands_discovery_test.
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <filesystem>

#include "fake_proc.h"
#include "kit/discovery/cgroups.h"
#include "kit/discovery/process_owner.h"
#include "kit/discovery/tunnel_interface_scanner.h"

namespace velmora {

void PrintTo(const TunnelInterface& interface, std::ostream* out) {
  *out << json::compact(toJSON(interface));
}

namespace {

using testing::FakeProc;

constexpr unsigned kTunnel = IFF_UP | IFF_POINTOPOINT | IFF_RUNNING;

std::string tunInfo(const std::string& name) {
  return "pos:\t0\nflags:\t02\nmnt_id:\t15\nino:\t1041\niff:\t" + name + "\n";
}

TEST(TunnelInterfaceScanner, ListsTunnelsWithOwnersInOrder) {
  FakeProc proc;
  // tun0: two processes hold it (a multi-queue tunnel); the lower process id wins.
  proc.process(300, "/opt/vpn/vpn-helper");
  proc.descriptor(300, 4, "/dev/net/tun", tunInfo("tun0"));
  proc.process(120, "/opt/vpn/vpnd (deleted)");
  proc.descriptor(120, 9, "/dev/net/tun", tunInfo("tun0"));
  // ppp1 belongs to a program in a system location.
  proc.process(80, "/usr/sbin/openvpn");
  proc.descriptor(80, 3, "/dev/net/tun", tunInfo("ppp1"));
  // tun7 is held by a process whose executable cannot be read.
  proc.process(90, "");
  proc.descriptor(90, 5, "/dev/net/tun", tunInfo("tun7"));
  // Descriptors that attach nothing: not yet attached, no fdinfo, a file that is not the tun
  // device, lines that do not parse.
  proc.process(50, "/opt/other/prog");
  proc.descriptor(50, 3, "/dev/net/tun", "pos:\t0\niff:\t\n");
  proc.descriptor(50, 4, "/dev/net/tun");
  proc.descriptor(50, 5, "/tmp/notes", tunInfo("wg0"));
  proc.descriptor(50, 6, "/dev/net/tun", "garbage\niff\n\n");
  proc.file("self/comm", "not a process\n");

  const std::vector<InterfaceAddress> addresses = {
      {"lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1"},
      {"eth0", IFF_UP | IFF_BROADCAST, "192.168.1.20"},
      {"tun9", IFF_POINTOPOINT, "10.9.0.1"},  // down
      {"veth0", kTunnel, "10.7.0.1"},         // not a tunnel's name
      {"ppp1", kTunnel, "10.64.0.1"},
      {"wg0", kTunnel, "10.2.0.1"},
      {"tun0", kTunnel, std::nullopt},  // an IPv6 entry carries no IPv4 address
      {"tun0", kTunnel, "10.8.0.2"},
      {"tun0", kTunnel, "10.8.0.3"},  // the last IPv4 entry stands for the interface
      {"utun3", kTunnel, std::nullopt},
      {"tun7", kTunnel, std::nullopt},
      {"ipsec0", kTunnel, "10.3.0.1"},
  };
  const std::vector<TunnelInterface> expected = {
      {"ipsec0", "10.3.0.1", std::nullopt, std::nullopt, false},
      {"tun0", "10.8.0.3", "vpnd", "/opt/vpn/vpnd", false},
      {"wg0", "10.2.0.1", std::nullopt, std::nullopt, false},  // run by the kernel: no owner
      {"tun7", std::nullopt, std::nullopt, std::nullopt, false},
      {"utun3", std::nullopt, std::nullopt, std::nullopt, false},
      {"ppp1", "10.64.0.1", "openvpn", "/usr/sbin/openvpn", true},  // system-owned come last
  };
  EXPECT_EQ(TunnelInterfaceScanner(ProcFileSystem(proc.root())).scan(addresses), expected);
}

TEST(TunnelInterfaceScanner, MissingProcTreeGivesInterfacesWithoutOwners) {
  const auto interfaces = TunnelInterfaceScanner(ProcFileSystem("/nonexistent/proc"))
                              .scan({{"wg0", kTunnel, "10.2.0.1"}});
  EXPECT_EQ(interfaces, (std::vector<TunnelInterface>{{"wg0", "10.2.0.1", {}, {}, false}}));
}

TEST(TunnelInterface, DisplayNameAndDescription) {
  const TunnelInterface bare{"wg0", "10.2.0.1", {}, {}, false};
  EXPECT_EQ(bare.displayName(), "wg0");
  EXPECT_EQ(bare.displayDescription(), "wg0 · 10.2.0.1");
  const TunnelInterface owned{"tun0", {}, "vpnd", "/opt/vpn/vpnd", false};
  EXPECT_EQ(owned.displayName(), "vpnd");
  EXPECT_EQ(owned.displayDescription(), "tun0");
}

TEST(ProcessOwner, SystemLocationsArePlainPrefixes) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"/usr/sbin/pppd", true},
      {"/sbin/openvpn", true},
      {"/usr/libexec/ipsec/charon", true},
      {"/usr/lib/systemd/systemd-networkd", true},
      {"/usr/bin/openvpn", false},
      {"/usr/sbinx/pppd", false},
      {"/USR/SBIN/pppd", false},
      {"usr/sbin/pppd", false},
      {"", false},
  };
  for (const auto& [path, system] : cases) {
    EXPECT_EQ(ProcessOwner::isSystemExecutable(path), system) << path;
  }
}

TEST(ProcessOwner, RunningProxyClientIsTheFirstMatchOutsideSystemLocations) {
  FakeProc proc;
  proc.process(2, "");                             // a kernel thread: no executable
  proc.process(10, "/usr/sbin/clash-helper");      // a keyword, but a system program
  proc.process(30, "/usr/bin/bash");               // no keyword
  proc.process(40, "/home/me/.local/bin/Mihomo");  // a keyword in another case
  proc.process(50, "/opt/sing-box/sing-box");
  const ProcessOwner owner{ProcFileSystem(proc.root())};
  EXPECT_EQ(owner.runningProxyCorePath(), "/home/me/.local/bin/Mihomo");
  EXPECT_EQ(owner.executablePath(10), "/usr/sbin/clash-helper");
  EXPECT_EQ(owner.executablePath(2), std::nullopt);
  EXPECT_EQ(owner.executablePath(99), std::nullopt);

  FakeProc quiet;
  quiet.process(30, "/usr/bin/bash");
  EXPECT_EQ(ProcessOwner(ProcFileSystem(quiet.root())).runningProxyCorePath(), std::nullopt);
}

TEST(ProcFileSystem, ReadsTheLiveProcOfThisProcess) {
  const ProcFileSystem proc;
  const pid_t self = ::getpid();
  const auto processes = proc.processes();
  EXPECT_TRUE(std::binary_search(processes.begin(), processes.end(), self));
  EXPECT_EQ(proc.readLink(std::to_string(self) + "/exe"),
            std::filesystem::read_symlink("/proc/self/exe").string());
  const auto descriptors = proc.descriptors(self);
  EXPECT_TRUE(std::any_of(descriptors.begin(), descriptors.end(),
                          [](const auto& d) { return d.number == STDIN_FILENO; }));
  EXPECT_NE(proc.read("net/tcp"), std::nullopt);
}

TEST(Cgroups, TheMountAndEachProcessCgroupAreFoundInTheKernelsTables) {
  const std::string hybrid =
      "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
      "40 31 0:37 / /sys/fs/cgroup/systemd rw,relatime - cgroup cgroup rw,name=systemd\n"
      "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
  const std::pair<std::string, std::optional<std::string>> mounts[] = {
      {hybrid, "/sys/fs/cgroup/unified"},
      {"35 24 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 master:2 - cgroup2 "
       "cgroup2 rw,nsdelegate,memory_recursiveprot\n",
       "/sys/fs/cgroup"},
      // A bind mount of one cgroup is not the hierarchy.
      {"50 24 0:30 /user.slice /mnt/part rw - cgroup2 cgroup2 rw\n"
       "51 24 0:30 / /mnt/cgroup\\040two rw - cgroup2 cgroup2 rw\n",
       "/mnt/cgroup two"},
      {"40 31 0:37 / /sys/fs/cgroup/systemd rw - cgroup cgroup rw,name=systemd\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [mountinfo, mountPoint] : mounts)
    EXPECT_EQ(cgroups::mountFrom(mountinfo), mountPoint) << mountinfo;

  const std::pair<std::string, std::optional<std::string>> processes[] = {
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/velmorad.service\n",
       "/user.slice/user-1000.slice/user@1000.service/app.slice/velmorad.service"},
      {"9:name=systemd:/x\n1:cpu:/y\n0::/\n", "/"},
      {"0::/a:b\n", "/a:b"},
      {"1:name=systemd:/user.slice\n", std::nullopt},
  };
  for (const auto& [text, cgroup] : processes) EXPECT_EQ(cgroups::pathFrom(text), cgroup) << text;
  EXPECT_EQ(cgroups::populatedFrom("populated 1\nfrozen 0\n"), true);
  EXPECT_EQ(cgroups::populatedFrom("frozen 1\npopulated 0\n"), false);
  EXPECT_EQ(cgroups::populatedFrom("frozen 0\n"), std::nullopt);
  // This process's own, read live.
  EXPECT_EQ(cgroups::ofProcess(::getpid()).has_value(), cgroups::mount().has_value());
}

TEST(Cgroups, ContainmentFollowsWholeComponents) {
  const std::tuple<std::string, std::string, bool> cases[] = {
      {"/a", "/a", true},    {"/a", "/a/b", true}, {"/a", "/ab", false},
      {"/a/b", "/a", false}, {"/", "/a/b", true},
  };
  for (const auto& [outer, inner, contained] : cases)
    EXPECT_EQ(cgroups::contains(outer, inner), contained) << outer << " " << inner;
}

}  // namespace
}  // namespace velmora
