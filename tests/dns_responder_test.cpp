// The DNS responder: reading queries, which names get fake addresses, and answers to dig over UDP
// and TCP in a network namespace whose only resolver is a small server of the test's own.
#include "dns_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ldns/ldns.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "fake_names_keeper.h"
#include "loopback.h"
#include "test_support.h"
#include "tiny_resolver.h"

namespace velmora::dns {
namespace {

std::vector<std::uint8_t> queryMessage(const std::string& name, ldns_rr_type type,
                                       ldns_rr_class qclass = LDNS_RR_CLASS_IN) {
  ldns_pkt* packet =
      ldns_pkt_query_new(ldns_dname_new_frm_str(name.c_str()), type, qclass, LDNS_RD);
  ldns_pkt_set_id(packet, 0x1234);
  std::uint8_t* wire = nullptr;
  std::size_t size = 0;
  ldns_pkt2wire(&wire, packet, &size);
  std::vector<std::uint8_t> bytes(wire, wire + size);
  std::free(wire);
  ldns_pkt_free(packet);
  return bytes;
}

TEST(DnsQueryReading, ReadsTheQuestionOfAStandardQueryOnly) {
  const std::vector<std::uint8_t> query = queryMessage("Www.Example.com.", LDNS_RR_TYPE_AAAA);
  EXPECT_EQ(readQuery(query), (DnsQuery{.id = 0x1234,
                                        .recursionDesired = true,
                                        .name = "Www.Example.com.",
                                        .type = LDNS_RR_TYPE_AAAA,
                                        .qclass = LDNS_RR_CLASS_IN}));

  std::vector<std::uint8_t> response = query;
  response[2] |= 0x80;  // QR
  std::vector<std::uint8_t> notify = query;
  notify[2] |= 4 << 3;  // opcode NOTIFY
  std::vector<std::uint8_t> noQuestion = query;
  noQuestion[5] = 0;  // QDCOUNT 0, the question left as trailing bytes
  std::vector<std::uint8_t> twoQuestions = query;
  twoQuestions[5] = 2;
  const std::vector<std::uint8_t> cut(query.begin(), query.end() - 3);
  const std::vector<std::vector<std::uint8_t>> refused = {
      response, notify, noQuestion, twoQuestions, cut, {}, {0x12}};
  for (std::size_t index = 0; index < refused.size(); ++index)
    EXPECT_EQ(readQuery(refused[index]), std::nullopt) << "message " << index;
}

TEST(DnsQueryReading, AnswersReadBackWithTheQuestionAsAsked) {
  const DnsQuery query = *readQuery(queryMessage("Www.Example.com.", LDNS_RR_TYPE_A));
  for (const auto& [address, type] :
       {std::pair{"198.18.0.2", LDNS_RR_TYPE_A}, std::pair{"fdc6:12::c612:2", LDNS_RR_TYPE_AAAA}}) {
    const std::vector<std::uint8_t> wire = addressAnswer(query, address, std::chrono::seconds(10));
    ldns_pkt* packet = nullptr;
    ASSERT_EQ(ldns_wire2pkt(&packet, wire.data(), wire.size()), LDNS_STATUS_OK);
    EXPECT_EQ(ldns_pkt_id(packet), 0x1234);
    EXPECT_TRUE(ldns_pkt_qr(packet));
    ASSERT_EQ(ldns_pkt_ancount(packet), 1);
    const ldns_rr* record = ldns_rr_list_rr(ldns_pkt_answer(packet), 0);
    EXPECT_EQ(ldns_rr_get_type(record), type);
    EXPECT_EQ(ldns_rr_ttl(record), 10u);
    char* text = ldns_rdf2str(ldns_rr_rdf(record, 0));
    EXPECT_STREQ(text, address);
    std::free(text);
    char* owner = ldns_rdf2str(ldns_rr_owner(ldns_rr_list_rr(ldns_pkt_question(packet), 0)));
    EXPECT_STREQ(owner, "Www.Example.com.");
    std::free(owner);
    ldns_pkt_free(packet);
  }
}

TEST(FakeAddressPolicy, FakesAddressQuestionsForHostNamesNotExcluded) {
  const DNSSettings settings{
      .resolveViaProxy = true,
      .exclusions = {"localhost", "*.local", "%ComputerName%", "10.0.0.0/8"}};
  const FakeAddressPolicy policy(settings, std::string("workstation"));
  struct Case {
    std::string name;
    std::uint16_t type;
    std::uint16_t qclass;
    std::optional<std::string> faked;
  };
  const std::vector<Case> cases = {
      {"Www.Example.COM.", LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, "www.example.com"},
      {"www.example.com.", LDNS_RR_TYPE_AAAA, LDNS_RR_CLASS_IN, "www.example.com"},
      {"_sip._tcp.example.com.", LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, "_sip._tcp.example.com"},
      {"www.example.com.", LDNS_RR_TYPE_TXT, LDNS_RR_CLASS_IN, std::nullopt},
      {"www.example.com.", LDNS_RR_TYPE_HTTPS, LDNS_RR_CLASS_IN, std::nullopt},
      {"www.example.com.", LDNS_RR_TYPE_A, LDNS_RR_CLASS_CH, std::nullopt},
      {"localhost.", LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, std::nullopt},
      {"printer.LOCAL.", LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, std::nullopt},
      {"Workstation.", LDNS_RR_TYPE_AAAA, LDNS_RR_CLASS_IN, std::nullopt},
      {"a\\032b.example.", LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, std::nullopt},
      {".", LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, std::nullopt},
  };
  for (const Case& test : cases) {
    const DnsQuery query{.name = test.name, .type = test.type, .qclass = test.qclass};
    EXPECT_EQ(policy.fakedName(query), test.faked) << test.name << " type " << test.type;
  }
  const DnsQuery asked{.name = "www.example.com.", .type = LDNS_RR_TYPE_A, .qclass = 1};
  EXPECT_EQ(FakeAddressPolicy({.resolveViaProxy = true}, std::nullopt).fakedName(asked),
            "www.example.com");
  EXPECT_EQ(FakeAddressPolicy({.resolveViaProxy = false}, std::nullopt).fakedName(asked),
            std::nullopt);
}

TEST(FakeNames, BothFamiliesOfANameShareOneSlot) {
  FakeNames names;
  const std::string ipv4 = names.ipv4("www.example.com");
  const std::string ipv6 = names.ipv6("WWW.example.com");
  EXPECT_EQ(ipv4, "198.18.0.2");
  EXPECT_EQ(ipv6, "fdc6:12::c612:2");
  EXPECT_EQ(names.host(ipv4), "www.example.com");
  EXPECT_EQ(names.host(ipv6), "www.example.com");
  for (const std::string address : {"198.18.0.3", "fdc6:12::c612:3", "10.1.2.3", "::1", "x"})
    EXPECT_EQ(names.host(address), std::nullopt) << address;
  for (const auto& [address, fake] : {std::pair{"198.19.255.255", true},
                                      {"fdc6:12::c613:1", true},
                                      {"fdc6:12::a01:203", false},
                                      {"fdc6:13::c612:2", false},
                                      {"198.20.0.1", false}})
    EXPECT_EQ(FakeNames::isFake(address), fake) << address;
}

TEST(FakeNamesKeeper, NamesOutliveARestartAndADamagedFileIsSetAside) {
  const testing::ScratchDirectory scratch;
  const std::filesystem::path file = scratch.path() / "state" / "fake-names.json";
  std::vector<std::string> logged;
  const auto log = [&](std::string_view line) { logged.emplace_back(line); };
  {
    auto names = std::make_shared<FakeNames>();
    FakeNamesKeeper keeper(file, names, log);
    names->ipv6("www.example.com");
    keeper.save();
  }
  auto restarted = std::make_shared<FakeNames>();
  FakeNamesKeeper again(file, restarted, log);
  EXPECT_EQ(restarted->host("198.18.0.2"), "www.example.com");
  EXPECT_EQ(std::filesystem::status(file).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  std::ofstream(file) << "{\"names\": [{\"host\": \"x\"}]}";
  auto fresh = std::make_shared<FakeNames>();
  FakeNamesKeeper damaged(file, fresh, log);
  EXPECT_EQ(fresh->host("198.18.0.2"), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(file));
  std::ifstream aside(file.string() + ".damaged");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}),
            "{\"names\": [{\"host\": \"x\"}]}");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_TRUE(logged[0].starts_with("假地址表「" + file.string() + "」读不出来")) << logged[0];
}

/// dig's short answer (or its status line with "+noall +comments") for a question to port, asked
/// by the user uid when one is given.
std::string dig(std::uint16_t port, const std::string& question, bool overTcp,
                std::optional<uid_t> uid = std::nullopt) {
  const std::string as = uid ? "setpriv --reuid=" + std::to_string(*uid) +
                                   " --regid=" + std::to_string(*uid) + " --clear-groups "
                             : "";
  const std::string command = as + "dig +time=5 +tries=1 -p " + std::to_string(port) +
                              " @127.0.0.1 " + question + (overTcp ? " +tcp" : "") + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  std::array<char, 512> chunk;
  while (const std::size_t size = std::fread(chunk.data(), 1, chunk.size(), pipe))
    out.append(chunk.data(), size);
  ::pclose(pipe);
  return out;
}

class DnsResponderInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    std::optional<testing::NetworkNamespace> entered = testing::NetworkNamespace::enter(why);
    if (!entered) GTEST_SKIP() << why;
    space_.emplace(std::move(*entered));
    std::ofstream(scratch_.path() / "resolv.conf") << "# the test's own\nnameserver 127.0.0.2\n";
    resolver_.emplace("127.0.0.2", "10.1.2.3");
  }

  DnsResponder::Options options() const {
    return {.resolvConf = scratch_.path() / "resolv.conf",
            .forwardTimeout = std::chrono::milliseconds(500)};
  }

  testing::ScratchDirectory scratch_;
  std::optional<testing::NetworkNamespace> space_;
  std::optional<testing::TinyResolver> resolver_;
};

TEST_F(DnsResponderInNamespace, FakesNamesAndRelaysTheRestOverUdpAndTcp) {
  auto names = std::make_shared<FakeNames>();
  DnsResponder responder(options(), names, [](std::string_view) {});
  responder.follow(DNSSettings{.resolveViaProxy = true, .exclusions = {"*.corp.example"}});
  struct Case {
    std::string question;
    std::string answer;
    bool relayed;
  };
  const std::vector<Case> cases = {
      {"www.example.com A +short", "198.18.0.2\n", false},
      {"WWW.example.com AAAA +short", "fdc6:12::c612:2\n", false},
      {"mail.example.com A +short", "198.18.0.3\n", false},
      {"intranet.corp.example A +short", "10.1.2.3\n", true},
      {"www.example.com TXT +short", "\"real\"\n", true},
      {"www.example.com MX +noall +comments", "status: NXDOMAIN", true},
  };
  for (const bool overTcp : {false, true}) {
    for (const Case& test : cases) {
      const std::string out = dig(responder.port(), test.question, overTcp);
      EXPECT_NE(out.find(test.answer), std::string::npos)
          << test.question << (overTcp ? " over TCP" : "") << ":\n"
          << out;
    }
  }
  // Each relayed question reaches the resolver once over each transport; a faked one never.
  std::map<std::string, long> relayedTimes;
  for (const Case& test : cases)
    relayedTimes[test.question.substr(0, test.question.find(' ')) + "."] += test.relayed ? 2 : 0;
  const std::vector<std::string> asked = resolver_->asked();
  for (const auto& [name, times] : relayedTimes)
    EXPECT_EQ(std::count(asked.begin(), asked.end(), name), times) << name;
  EXPECT_EQ(names->host("198.18.0.2"), "www.example.com");
  EXPECT_EQ(names->host("fdc6:12::c612:3"), "mail.example.com");
}

TEST_F(DnsResponderInNamespace, RelaysEverythingWithoutSettingsOrResolvingThroughTheProxy) {
  DnsResponder responder(options(), std::make_shared<FakeNames>(), [](std::string_view) {});
  EXPECT_EQ(dig(responder.port(), "www.example.com A +short", false), "10.1.2.3\n");
  responder.follow(DNSSettings{.resolveViaProxy = false});
  EXPECT_EQ(dig(responder.port(), "www.example.com A +short", true), "10.1.2.3\n");
  responder.follow(DNSSettings{.resolveViaProxy = true});
  EXPECT_EQ(dig(responder.port(), "www.example.com A +short", false), "198.18.0.2\n");
}

TEST_F(DnsResponderInNamespace, AnotherUsersQuestionIsRefusedAndLoggedOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "asking as another user needs root";
  std::vector<std::string> logged;
  std::mutex lock;
  DnsResponder responder(options(), std::make_shared<FakeNames>(), [&](std::string_view line) {
    std::lock_guard guard(lock);
    logged.emplace_back(line);
  });
  responder.follow(DNSSettings{.resolveViaProxy = true});
  constexpr uid_t nobody = 65534;
  const std::string udp =
      dig(responder.port(), "www.example.com A +noall +comments", false, nobody);
  EXPECT_NE(udp.find("status: REFUSED"), std::string::npos) << udp;
  // Over TCP the connection is closed without an answer.
  const std::string tcp = dig(responder.port(), "www.example.com A +short", true, nobody);
  EXPECT_EQ(tcp.find("198.18."), std::string::npos) << tcp;
  EXPECT_EQ(dig(responder.port(), "www.example.com A +short", false), "198.18.0.2\n");
  EXPECT_TRUE(resolver_->asked().empty());
  std::lock_guard guard(lock);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "拒绝了来自用户 65534 的 DNS 查询（1 次）：DNS 应答只为用户 0 服务");
}

TEST_F(DnsResponderInNamespace, AnswersServerFailureWhenNoResolverAnswers) {
  std::ofstream(scratch_.path() / "resolv.conf") << "nameserver 127.0.0.3\nnameserver ::1\n";
  DnsResponder responder(options(), std::make_shared<FakeNames>(), [](std::string_view) {});
  responder.follow(DNSSettings{.resolveViaProxy = true});
  for (const bool overTcp : {false, true}) {
    const std::string out = dig(responder.port(), "www.example.com TXT +noall +comments", overTcp);
    EXPECT_NE(out.find("status: SERVFAIL"), std::string::npos) << out;
  }
  EXPECT_TRUE(resolver_->asked().empty());
}

}  // namespace
}  // namespace velmora::dns
