// A fixture for tests of velmorad's traffic: the built daemon with routing on in a network
// namespace of the test's own, and a destination there that echoes the address it was reached
// from.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "daemon_support.h"
#include "test_support.h"

namespace velmora::testing {

class DaemonInNamespace : public ::testing::Test {
 protected:
  /// The destination's address, on the namespace's loopback interface.
  static constexpr const char* destinationAddress = "10.77.0.1";

  RunResult run(const std::vector<std::string>& arguments) {
    return runVelmoractl(arguments, home.path());
  }

  /// Starts everything, and waits for readyLine in the daemon's log before routing is turned on.
  void start(const std::string& readyLine) {
    if (!network.available()) GTEST_SKIP() << "making a network namespace needs root and ip(8)";
    ASSERT_TRUE(network.ip({"link", "set", "lo", "up"}));
    ASSERT_TRUE(network.ip({"addr", "add", std::string(destinationAddress) + "/32", "dev", "lo"}));
    inside = std::make_unique<InsideNamespace>(network.name());
    ASSERT_TRUE(inside->entered());
    destination = std::make_unique<PeerEchoServer>(destinationAddress);
    daemon = std::make_unique<RunningDaemon>(RunningDaemon::Options{
        .home = home.path(), .sessionBus = bus.address(), .networkNamespace = network.name()});
    ASSERT_TRUE(daemon->waitUntilReady()) << daemon->log();
    ASSERT_TRUE(daemon->waitForLog(readyLine)) << daemon->log();
    ASSERT_EQ(run({"on"}).status, 0);
  }
  void TearDown() override {
    daemon.reset();
    destination.reset();
    inside.reset();
  }

  ScratchDirectory home;
  PrivateBus bus;
  NetworkNamespace network;
  std::unique_ptr<InsideNamespace> inside;
  std::unique_ptr<PeerEchoServer> destination;
  std::unique_ptr<RunningDaemon> daemon;
  /// The test program's name, as velmorad knows the application behind its connections.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename();
};

}  // namespace velmora::testing
