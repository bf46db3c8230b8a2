// The daemon's own records: how connection events become counters, what the settings file
// accepts, and how the observed network becomes a fingerprint.
#include <gtest/gtest.h>

#include <array>
#include <fstream>

#include "kit/daemon_settings.h"
#include "kit/json_text.h"
#include "live_state.h"
#include "network_environment.h"
#include "test_support.h"

namespace velmora::daemon {
namespace {

using Phase = ConnectionEvent::Phase;
using Type = NetworkEnvironment::Fingerprint::InterfaceType;

json::Date at(std::string_view text) {
  return *json::parseISO8601(text);
}

ConnectionEvent event(std::string app, Phase phase, std::uint64_t sent = 0,
                      std::uint64_t received = 0) {
  return {.id = UUID::random(),
          .date = at("2025-03-01T08:30:00Z"),
          .app = std::move(app),
          .host = "example.com",
          .port = 443,
          .phase = phase,
          .route = "direct",
          .bytesSent = sent,
          .bytesReceived = received};
}

TEST(LiveState, CountsEachPhaseOfAConnection) {
  const struct {
    const char* name;
    std::vector<ConnectionEvent> events;
    std::array<std::uint64_t, 6> counts;  // total, active, failed, blocked, sent, received
  } cases[] = {
      {"open stays active", {event("A", Phase::open)}, {1, 1, 0, 0, 0, 0}},
      {"close ends it and adds its bytes",
       {event("A", Phase::open), event("A", Phase::close, 100, 200)},
       {1, 0, 0, 0, 100, 200}},
      {"direct is not tracked as active", {event("A", Phase::direct)}, {1, 0, 0, 0, 0, 0}},
      {"blocked", {event("A", Phase::blocked)}, {1, 0, 0, 1, 0, 0}},
      {"failed", {event("A", Phase::failed)}, {1, 0, 1, 0, 0, 0}},
      {"a close without its open does not wrap the active count",
       {event("A", Phase::close, 5, 6)},
       {0, 0, 0, 0, 5, 6}},
  };
  for (const auto& test : cases) {
    LiveState live(at("2025-03-01T08:00:00Z"));
    for (const ConnectionEvent& e : test.events) live.record(e);
    const StatsSnapshot stats = live.stats();
    EXPECT_EQ(stats.startedAt, at("2025-03-01T08:00:00Z")) << test.name;
    EXPECT_EQ((std::array{stats.totalConnections, stats.activeConnections, stats.failedConnections,
                          stats.blockedConnections, stats.bytesSent, stats.bytesReceived}),
              test.counts)
        << test.name;
  }
}

TEST(LiveState, KeepsCountersPerApplication) {
  LiveState live(at("2025-03-01T08:00:00Z"));
  live.record(event("Safari", Phase::open));
  live.record(event("Safari", Phase::close, 10, 20));
  live.record(event("curl", Phase::blocked));
  const StatsSnapshot stats = live.stats();
  EXPECT_EQ(stats.perApp.at("Safari"),
            (StatsSnapshot::App{.connections = 1, .bytesSent = 10, .bytesReceived = 20}));
  EXPECT_EQ(stats.perApp.at("curl"), (StatsSnapshot::App{.connections = 1}));
}

TEST(LiveState, AnswersQueriesCountingSinceFromNow) {
  LiveState live(at("2025-03-01T08:00:00Z"));
  ConnectionEvent old = event("Safari", Phase::open);
  old.date = at("2025-03-01T08:00:00Z");
  ConnectionEvent recent = event("Safari", Phase::close);
  recent.date = at("2025-03-01T08:55:00Z");
  live.record(old);
  live.record(recent);
  const json::Date now = at("2025-03-01T09:00:00Z");
  const struct {
    ConnectionQueryDTO query;
    std::vector<ConnectionEvent> expected;
  } cases[] = {
      {{}, {old, recent}},
      {{.sinceMinutes = 10}, {recent}},
      {{.sinceMinutes = 60}, {old, recent}},
      {{.limit = 1}, {recent}},
      {{.limit = -3}, {}},
      {{.app = "SAFARI", .host = "nothing"}, {}},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(live.connections(test.query, now), test.expected) << DTOCoding::encode(test.query);
  }
}

TEST(DaemonSettings, MissingFileOrKeyTakesTheDefaultSavedReadsBackAndAWrongValueIsRefused) {
  const testing::ScratchDirectory directory;
  const auto file = DaemonSettings::fileIn(directory.path());
  EXPECT_EQ(DaemonSettings::load(file), DaemonSettings{});
  std::ofstream(file) << R"({"enabled": true})";
  EXPECT_EQ(DaemonSettings::load(file), (DaemonSettings{.enabled = true}));
  const DaemonSettings settings{.enabled = true,
                                .automationWritesAllowed = false,
                                .proxyAddress = "127.0.0.2",
                                .proxyPort = 7890,
                                .transparentPort = 0,
                                .dnsPort = 5353,
                                .capture = DaemonSettings::Capture::session,
                                .sessionCgroup = "/my-session"};
  settings.save(file);
  EXPECT_EQ(DaemonSettings::load(file), settings);
  std::ofstream(file) << R"({"transparentPort": 7891})";
  EXPECT_EQ(DaemonSettings::load(file), (DaemonSettings{.transparentPort = 7891}));
  std::ofstream(file) << R"({"dnsPort": 10053})";
  EXPECT_EQ(DaemonSettings::load(file), (DaemonSettings{.dnsPort = 10053}));
  for (const char* text : {R"({"enabled": "yes"})", R"({"proxyPort": 70000})", R"({"dnsPort": -1})",
                           R"({"transparentPort": "11081"})", R"({"capture": "all"})", "[]", "{"}) {
    std::ofstream(file) << text;
    EXPECT_THROW(DaemonSettings::load(file), json::DecodingError) << text;
  }
}

TEST(Fingerprint, TheObservedNetworkBecomesAFingerprint) {
  const WiredNetwork cable{
      .interfaceName = "eth0", .gatewayMAC = "02:00:00:00:00:01", .subnet = "10.0.0.0/24"};
  WiredNetwork radio = cable;
  radio.wireless = true;
  const struct {
    std::optional<WiredNetwork> wired;
    std::optional<std::string> ssid;
    NetworkEnvironment::Fingerprint expected;
    std::string description;
  } cases[] = {
      {std::nullopt, std::nullopt, {.interfaceType = Type::other}, "无网络"},
      {cable,
       std::nullopt,
       {.interfaceType = Type::wired, .gatewayMAC = "02:00:00:00:00:01", .subnet = "10.0.0.0/24"},
       "有线 10.0.0.0/24（网关 02:00:00:00:00:01）"},
      {cable, "Home", {.interfaceType = Type::wifi, .ssid = "Home"}, "Wi-Fi「Home」"},
      {radio, std::nullopt, {.interfaceType = Type::wifi}, "Wi-Fi「?」"},
      {WiredNetwork{.interfaceName = "ppp0", .subnet = "10.0.0.0/24"},
       std::nullopt,
       {.interfaceType = Type::wired, .subnet = "10.0.0.0/24"},
       "有线 10.0.0.0/24"},
  };
  for (const auto& test : cases) {
    const NetworkEnvironment::Fingerprint fingerprint = makeFingerprint(test.wired, test.ssid);
    EXPECT_EQ(fingerprint, test.expected) << test.description;
    EXPECT_EQ(describe(fingerprint), test.description);
  }
}

}  // namespace
}  // namespace velmora::daemon
