// The automation records and events: their JSON forms, the action text both ways, and the store
// of recent events.
#include <gtest/gtest.h>

#include <thread>

#include "kit/automation_protocol.h"
#include "kit/events.h"
#include "kit/import_error.h"
#include "kit/profile_store.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

json::Date at(std::string_view text) {
  return *json::parseISO8601(text);
}

TEST(DTOCoding, IsCompactSortedWithISODates) {
  StatsSnapshot stats{
      .startedAt = at("2025-03-01T08:30:00Z"), .totalConnections = 3, .bytesSent = 1ull << 40};
  stats.perApp["Safari"] = {.connections = 2, .bytesSent = 10, .bytesReceived = 20};
  const StatusDTO status{.enabled = true,
                         .extensionInstalled = false,
                         .activeProfile = "工作/Work",
                         .currentEnvironment = std::nullopt,
                         .stats = stats,
                         .automationWritesAllowed = true};
  EXPECT_EQ(
      DTOCoding::encode(status),
      R"({"activeProfile":"工作\/Work","automationWritesAllowed":true,"enabled":true,)"
      R"("extensionInstalled":false,"stats":{"activeConnections":0,"blockedConnections":0,)"
      R"("bytesReceived":0,"bytesSent":1099511627776,"failedConnections":0,"perApp":{"Safari":)"
      R"({"bytesReceived":20,"bytesSent":10,"connections":2}},"startedAt":"2025-03-01T08:30:00Z",)"
      R"("totalConnections":3}})");
  EXPECT_EQ(DTOCoding::decode(DTOCoding::encode(status), statusDTOFromJSON), status);
}

TEST(DTOCoding, OptionalKeysAreLeftOutAndRequiredOnesEnforced) {
  EXPECT_EQ(DTOCoding::encode(ConnectionQueryDTO{}), "{}");
  const ConnectionQueryDTO query{.app = "Safari", .sinceMinutes = 30};
  EXPECT_EQ(DTOCoding::encode(query), R"({"app":"Safari","sinceMinutes":30})");
  EXPECT_EQ(DTOCoding::decode(R"({"app":"Safari","host":null,"sinceMinutes":30})",
                              connectionQueryDTOFromJSON),
            query);

  const std::string stats =
      DTOCoding::encode(StatsSnapshot{.startedAt = at("2025-01-01T00:00:00Z")});
  const std::string withoutEnvironment =
      R"({"activeProfile":"A","automationWritesAllowed":false,"enabled":true,"extensionInstalled":true,"stats":)" +
      stats + "}";
  EXPECT_FALSE(DTOCoding::decode(withoutEnvironment, statusDTOFromJSON).currentEnvironment);
  std::string withoutWrites = withoutEnvironment;
  withoutWrites.erase(withoutWrites.find(R"("automationWritesAllowed":false,)"), 32);
  EXPECT_THROW(DTOCoding::decode(withoutWrites, statusDTOFromJSON), json::DecodingError);

  std::string withoutPerApp = stats;
  withoutPerApp.erase(withoutPerApp.find(R"("perApp":{},)"), 12);
  EXPECT_THROW(DTOCoding::decode(withoutPerApp, statsSnapshotFromJSON), json::DecodingError);

  const std::vector<ProfileSummaryDTO> summaries = {{.name = "A",
                                                     .isActive = true,
                                                     .ruleCount = 2,
                                                     .proxyCount = 0,
                                                     .boundEnvironments = {"Office"}}};
  EXPECT_EQ(
      DTOCoding::encode(summaries),
      R"([{"boundEnvironments":["Office"],"isActive":true,"name":"A","proxyCount":0,"ruleCount":2}])");
  EXPECT_EQ(DTOCoding::decodeArray(DTOCoding::encode(summaries), profileSummaryDTOFromJSON),
            summaries);
  EXPECT_THROW(DTOCoding::decodeArray(R"([{"name":"A"}])", profileSummaryDTOFromJSON),
               json::DecodingError);
  EXPECT_THROW(DTOCoding::decodeArray(R"({"name":"A"})", profileSummaryDTOFromJSON),
               json::DecodingError);
}

TEST(ISO8601, FormatsWholeSecondsInUTC) {
  EXPECT_EQ(json::formatISO8601(at("2025-03-01T08:30:00Z") + 999ms), "2025-03-01T08:30:00Z");
  EXPECT_EQ(json::formatISO8601(at("1999-12-31T23:59:59-01:00")), "2000-01-01T00:59:59Z");
  for (const char* bad : {"2025-03-01 08:30:00Z", "2025-03-01T08:30:00", "2025-02-30T00:00:00Z",
                          "2025-03-01T08:30:00.5Z", "yesterday"}) {
    EXPECT_FALSE(json::parseISO8601(bad)) << bad;
  }
}

ConnectionEvent event(std::string app, std::string host,
                      json::Date date = at("2025-03-01T08:30:00Z")) {
  return ConnectionEvent{.id = UUID::random(),
                         .date = date,
                         .app = std::move(app),
                         .host = std::move(host),
                         .port = 443,
                         .transport = FlowTransport::tcp,
                         .phase = ConnectionEvent::Phase::open,
                         .route = "direct",
                         .lifetime = 1.5};
}

TEST(ConnectionEvent, JSONLeavesOutAbsentKeysAndRejectsUnknownWords) {
  ConnectionEvent plain = event("Safari", "apple.com");
  const json::Value written = toJSON(plain);
  for (const char* key :
       {"bundleID", "responsibleApp", "appBundleName", "ruleName", "errorDescription"}) {
    EXPECT_FALSE(written.contains(key)) << key;
  }
  EXPECT_EQ(written["date"], "2025-03-01T08:30:00Z");
  EXPECT_EQ(written["lifetime"], 1.5);
  EXPECT_EQ(connectionEventFromJSON(json::Reader(written)), plain);

  ConnectionEvent full = plain;
  full.bundleID = "com.apple.Safari";
  full.ruleName = "Web";
  full.errorDescription = "timed out";
  full.phase = ConnectionEvent::Phase::failed;
  full.bytesReceived = UINT64_MAX;
  EXPECT_EQ(
      DTOCoding::decodeArray(DTOCoding::encode(std::vector{full, plain}), connectionEventFromJSON),
      (std::vector{full, plain}));

  for (const auto& [key, value] :
       std::vector<std::pair<std::string, json::Value>>{{"phase", "opened"},
                                                        {"transport", "quic"},
                                                        {"port", 70000},
                                                        {"bytesSent", -1},
                                                        {"date", "now"}}) {
    json::Value damaged = written;
    damaged[key] = value;
    EXPECT_THROW(connectionEventFromJSON(json::Reader(damaged)), json::DecodingError) << key;
  }
  json::Value missing = written;
  missing.erase("route");
  EXPECT_THROW(connectionEventFromJSON(json::Reader(missing)), json::DecodingError);
}

std::vector<std::string> hosts(const std::vector<ConnectionEvent>& events) {
  std::vector<std::string> result;
  for (const ConnectionEvent& e : events) result.push_back(e.host);
  return result;
}

TEST(EventRingBuffer, KeepsTheNewestInArrivalOrder) {
  EventRingBuffer buffer(3);
  for (int i = 1; i <= 5; ++i) buffer.append(event("App", "E" + std::to_string(i)));
  EXPECT_EQ(hosts(buffer.snapshot({}, {}, {}, 10)), (std::vector<std::string>{"E3", "E4", "E5"}));
  EXPECT_EQ(hosts(buffer.snapshot({}, {}, {}, 2)), (std::vector<std::string>{"E4", "E5"}));
  EXPECT_TRUE(buffer.snapshot({}, {}, {}, 0).empty());

  EventRingBuffer single(0);
  single.append(event("App", "first"));
  single.append(event("App", "second"));
  EXPECT_EQ(hosts(single.snapshot({}, {}, {}, 10)), std::vector<std::string>{"second"});
}

TEST(EventRingBuffer, AReaderGetsEachEventOnceAndSkipsWhatWasOverwritten) {
  EventRingBuffer buffer(3);
  std::uint64_t cursor = 0;
  EXPECT_TRUE(buffer.after(cursor).empty());
  buffer.append(event("App", "E1"));
  buffer.append(event("App", "E2"));
  EXPECT_EQ(hosts(buffer.after(cursor)), (std::vector<std::string>{"E1", "E2"}));
  EXPECT_EQ(cursor, 2u);
  EXPECT_TRUE(buffer.after(cursor).empty());
  // Five more while the reader was away: the two oldest of them are gone.
  for (int i = 3; i <= 7; ++i) buffer.append(event("App", "E" + std::to_string(i)));
  EXPECT_EQ(hosts(buffer.after(cursor)), (std::vector<std::string>{"E5", "E6", "E7"}));
  EXPECT_EQ(cursor, 7u);
  // A cursor from the future (another buffer's) starts at the end.
  std::uint64_t ahead = 100;
  EXPECT_TRUE(buffer.after(ahead).empty());
  EXPECT_EQ(ahead, 7u);
}

TEST(EventRingBuffer, FiltersThenLimits) {
  EventRingBuffer buffer(10);
  ConnectionEvent helper = event("WebKit Networking", "b.apple.com", at("2025-03-01T09:00:00Z"));
  helper.bundleID = "com.apple.SAFARI.helper";
  buffer.append(event("Safari", "a.apple.com", at("2025-03-01T08:00:00Z")));
  buffer.append(helper);
  buffer.append(event("Mail", "imap.apple.com", at("2025-03-01T10:00:00Z")));
  buffer.append(event("微信", "weixin.qq.com", at("2025-03-01T11:00:00Z")));
  buffer.append(event("Safari", "example.org", at("2025-03-01T12:00:00Z")));

  EXPECT_EQ(hosts(buffer.snapshot("safari", {}, {}, 10)),
            (std::vector<std::string>{"a.apple.com", "b.apple.com", "example.org"}));
  EXPECT_EQ(hosts(buffer.snapshot("safari", "APPLE", {}, 10)),
            (std::vector<std::string>{"a.apple.com", "b.apple.com"}));
  EXPECT_EQ(hosts(buffer.snapshot({}, {}, at("2025-03-01T10:00:00Z"), 10)),
            (std::vector<std::string>{"imap.apple.com", "weixin.qq.com", "example.org"}));
  // The limit counts only the events that passed the filters.
  EXPECT_EQ(hosts(buffer.snapshot({}, "apple", {}, 1)), std::vector<std::string>{"imap.apple.com"});
  EXPECT_EQ(hosts(buffer.snapshot("微", {}, {}, 10)), std::vector<std::string>{"weixin.qq.com"});
}

TEST(EventRingBuffer, AppendsAndSnapshotsFromManyThreads) {
  EventRingBuffer buffer(50);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&buffer, t] {
      for (int i = 0; i < 500; ++i) {
        buffer.append(event("App" + std::to_string(t), std::to_string(i)));
        if (i % 50 == 0) {
          EXPECT_LE(buffer.snapshot({}, {}, {}, 100).size(), 50u);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const auto all = buffer.snapshot({}, {}, {}, 1000);
  ASSERT_EQ(all.size(), 50u);
  // Each thread's events stay in the order that thread appended them.
  std::map<std::string, int> lastSeen;
  for (const ConnectionEvent& e : all) {
    const int number = std::stoi(e.host);
    if (lastSeen.contains(e.app)) {
      EXPECT_LT(lastSeen[e.app], number);
    }
    lastSeen[e.app] = number;
  }
}

Profile profileWithProxies() {
  Profile profile = Profile::makeDefault("p");
  profile.proxies = {ProxyServer{.id = UUID::random(),
                                 .name = "HOME",
                                 .address = "10.0.0.1",
                                 .port = 1080,
                                 .proto = ProxyProtocol::socks5},
                     ProxyServer{.id = UUID::random(),
                                 .name = "?",
                                 .address = "10.0.0.2",
                                 .port = 8080,
                                 .proto = ProxyProtocol::http}};
  profile.chains = {
      ProxyChain{.id = UUID::random(), .name = "Both", .proxyIDs = {profile.proxies[0].id}}};
  return profile;
}

TEST(RuleDTO, WritesActionsAsText) {
  const Profile profile = profileWithProxies();
  const auto text = [&](RuleAction action) {
    return RuleDTO::fromRule(Rule{.id = UUID::random(), .name = "r", .action = std::move(action)},
                             profile)
        .action;
  };
  EXPECT_EQ(text(RuleAction::direct()), "direct");
  EXPECT_EQ(text(RuleAction::block()), "block");
  EXPECT_EQ(text(RuleAction::proxy(profile.proxies[0].id)), "proxy:HOME");
  EXPECT_EQ(text(RuleAction::proxy(UUID::random())), "proxy:?");
  EXPECT_EQ(text(RuleAction::chain(profile.chains[0].id)), "chain:Both");
  EXPECT_EQ(text(RuleAction::chain(UUID::random())), "chain:?");
  EXPECT_EQ(text(RuleAction::interface("utun4")), "interface:utun4");

  const Rule locked = profile.rules[0];
  const RuleDTO record = RuleDTO::fromRule(locked, profile);
  EXPECT_EQ(record, (RuleDTO{.name = "Localhost",
                             .enabled = true,
                             .apps = {},
                             .hosts = {"localhost", "127.0.0.1", "::1", "%ComputerName%"},
                             .ports = {},
                             .action = "direct",
                             .locked = true}));
  EXPECT_EQ(DTOCoding::decode(DTOCoding::encode(record), ruleDTOFromJSON), record);
  EXPECT_THROW(
      DTOCoding::decode(
          R"({"name":"x","enabled":true,"apps":[],"hosts":[],"ports":[],"action":"direct"})",
          ruleDTOFromJSON),
      json::DecodingError);
}

TEST(RuleDTO, ReadsActionTextsAndRefusesUnknownOnes) {
  const Profile profile = profileWithProxies();
  const auto action = [&](std::string text) {
    return RuleDTO{.name = "n", .apps = {"A"}, .action = std::move(text), .locked = true}
        .makeRule(profile)
        .action;
  };
  EXPECT_EQ(action("Direct"), RuleAction::direct());
  EXPECT_EQ(action("BLOCK"), RuleAction::block());
  EXPECT_EQ(action("Proxy:home"), RuleAction::proxy(profile.proxies[0].id));
  EXPECT_EQ(action("proxy:?"), RuleAction::proxy(profile.proxies[1].id));
  EXPECT_EQ(action("CHAIN:both"), RuleAction::chain(profile.chains[0].id));
  EXPECT_EQ(action("interface:  en0 "), RuleAction::interface("en0"));

  // Names are not trimmed. The command line and the MCP tools word the refusals they pass on.
  for (const char* refused : {"proxy:Home ", "chain:nope", "interface:", "interface: \t "})
    EXPECT_THROW(action(refused), Error) << refused;
  try {
    action("socks:foo");
    ADD_FAILURE() << "socks:foo accepted";
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(),
                 "配置文件内容异常：未知 action「socks:foo」，应为 direct / block / proxy:<名称> / "
                 "interface:<网卡名>");
  }

  const Rule made = RuleDTO{.name = "n",
                            .enabled = false,
                            .apps = {"A"},
                            .hosts = {"h"},
                            .ports = {"1"},
                            .action = "block",
                            .locked = true}
                        .makeRule(profile);
  EXPECT_FALSE(made.locked);
  EXPECT_FALSE(made.enabled);
  EXPECT_EQ(made.transport, FlowTransport::any);
  EXPECT_EQ(made.quicPolicy, QUICPolicy::fallback);
  EXPECT_TRUE(made.tags.empty());
  EXPECT_EQ(made.hosts, std::vector<std::string>{"h"});
}

}  // namespace
}  // namespace velmora
