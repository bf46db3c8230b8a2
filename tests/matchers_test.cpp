// Application, host and port patterns, wildcards and IPv4 text, table by table.
#include "kit/matchers.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(IPv4, ParsesOnlyFourDecimalBytes) {
  const std::vector<std::pair<std::string, std::optional<std::uint32_t>>> cases = {
      {"192.168.1.1", 0xC0A80101},     {"01.02.03.04", 0x01020304},
      {"+1.2.3.4", 0x01020304},        {"0.0.0.0", 0},
      {"255.255.255.255", 0xFFFFFFFF}, {"256.1.1.1", std::nullopt},
      {"1.2.3", std::nullopt},         {"1.2.3.4.5", std::nullopt},
      {"1..3.4", std::nullopt},        {"1.2.3.4.", std::nullopt},
      {" 1.2.3.4", std::nullopt},      {"1.2.3.-4", std::nullopt},
      {"a.b.c.d", std::nullopt},       {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(IPv4::parse(text), expected) << text;
  EXPECT_EQ(IPv4::format(0xC0A80101), "192.168.1.1");
  EXPECT_EQ(IPv4::format(0x0A000001), "10.0.0.1");
}

TEST(WildcardPattern, MatchesTheWholeSubjectIgnoringCase) {
  struct Case {
    std::string pattern;
    std::string subject;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"*", "", true},
      {"*", "anything at all", true},
      {"a?c", "ABC", true},
      {"a?c", "ac", false},
      {"a?c", "abbc", false},
      {"*.example.com", "www.example.com", true},
      {"*.example.com", "a.b.EXAMPLE.com", true},
      {"*.example.com", "example.com", false},
      {"*.example.com", "wwwXexample.com", false},  // "." is literal, not any character
      {"example.com", "EXAMPLE.COM", true},
      {"example.com", "www.example.com", false},
      {"a+b(*", "A+B(zz", true},  // punctuation stands for itself
      {"[ab]*", "a", false},
      {"[ab]*", "[AB]x", true},
      {"*a*b*", "xxaxxbxx", true},
      {"*a*b", "xxaxxbxxc", false},
      {"STRASSE", "straße", true},
      {"*.ÄPFEL.de", "x.äpfel.DE", true},
      {"微信*", "微信输入法", true},
      {"?", "微", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardPattern(c.pattern).matches(c.subject), c.matches)
        << c.pattern << " vs " << c.subject;
  }
  EXPECT_FALSE(WildcardPattern("plain").compiled.has_value());
  EXPECT_TRUE(WildcardPattern("pl*n").compiled.has_value());
}

TEST(AppPattern, TriesEveryNameOfTheIdentity) {
  const AppIdentity full{"com.apple.Safari", "Safari",  "Safari",    "com.apple.WebKit",
                         "WebKit",           "webkitd", "Safari.app"};
  EXPECT_TRUE(AppPattern("com.apple.safari").matches(full));
  EXPECT_TRUE(AppPattern("webkitd").matches(full));
  EXPECT_TRUE(AppPattern("safari.APP").matches(full));
  EXPECT_TRUE(AppPattern("Web*").matches(full));
  EXPECT_FALSE(AppPattern("Chrome").matches(full));
  EXPECT_FALSE(AppPattern("*").matches(AppIdentity{}));
  EXPECT_FALSE(AppPattern("").matches(AppIdentity{}));

  const AppIdentity chinese{.displayName = "微信"};
  EXPECT_TRUE(AppPattern("微信").matches(chinese));
  EXPECT_TRUE(AppPattern("ÄRGER").matches(AppIdentity{.executableName = "ärger"}));
  EXPECT_TRUE(AppPattern("kelvin").matches(AppIdentity{.executableName = "\u212Aelvin"}));
}

TEST(AppPattern, PlainBundleIdentifierCoversItsHelpers) {
  const auto bundle = [](std::string id) { return AppIdentity{.bundleID = std::move(id)}; };
  EXPECT_TRUE(AppPattern("com.example.App").matches(bundle("com.example.app.helper")));
  EXPECT_TRUE(AppPattern("com.example.app").matches(bundle("COM.EXAMPLE.APP.Renderer.GPU")));
  EXPECT_FALSE(AppPattern("com.example.app").matches(bundle("com.example.apple")));
  EXPECT_FALSE(AppPattern("com.example.a*").matches(bundle("com.example.b.helper")));
  // Wildcards get no prefix extension: "com.ex*app" must match the whole identifier.
  EXPECT_FALSE(AppPattern("com.ex?mple.app").matches(bundle("com.example.app.helper")));
  // Only the bundle identifier is extended, not the display name.
  EXPECT_FALSE(AppPattern("Safari").matches(AppIdentity{.displayName = "Safari.Helper"}));
}

TEST(AppIdentity, BestDescriptionPrefersTheDisplayName) {
  EXPECT_EQ(
      (AppIdentity{.bundleID = "b", .displayName = "d", .executableName = "e"}).bestDescription(),
      "d");
  EXPECT_EQ((AppIdentity{.bundleID = "b", .executableName = "e"}).bestDescription(), "e");
  EXPECT_EQ((AppIdentity{.bundleID = "b", .responsibleAppName = "r"}).bestDescription(), "b");
  EXPECT_EQ(AppIdentity{.responsibleAppName = "r"}.bestDescription(), "unknown");
}

TEST(HostPattern, CompilesNetworkRangeWildcardExactInThatOrder) {
  HostPattern cidr("10.1.2.3/8");
  EXPECT_EQ(cidr.kind, HostPattern::Kind::cidr);
  EXPECT_EQ(cidr.base, 0x0A000000u);
  EXPECT_EQ(cidr.mask, 0xFF000000u);
  EXPECT_EQ(HostPattern("0.0.0.0/0").mask, 0u);
  EXPECT_EQ(HostPattern("1.2.3.4/32").mask, 0xFFFFFFFFu);

  const std::vector<std::pair<std::string, HostPattern::Kind>> kinds = {
      {"10.0.0.0/33", HostPattern::Kind::exact},
      {"10.0.0.0/", HostPattern::Kind::exact},
      {"host/8", HostPattern::Kind::exact},
      {"10.0.0.1-10.0.0.9", HostPattern::Kind::range},
      {"10.0.0.9-10.0.0.1", HostPattern::Kind::exact},
      {"10.0.0.1 - 10.0.0.9", HostPattern::Kind::exact},
      {"my-host.lan", HostPattern::Kind::exact},
      {"*-cdn.net", HostPattern::Kind::wildcard},
      {"10.0.0.*", HostPattern::Kind::wildcard},
      {"10.*/8", HostPattern::Kind::wildcard},
  };
  for (const auto& [text, kind] : kinds) EXPECT_EQ(HostPattern(text).kind, kind) << text;

  const HostPattern spaced(" \t example.com\t ");
  EXPECT_EQ(spaced.kind, HostPattern::Kind::exact);
  EXPECT_EQ(spaced.source, "example.com");
  EXPECT_EQ(HostPattern("example.com\n").source, "example.com\n");
}

TEST(HostPattern, MatchesHosts) {
  struct Case {
    std::string pattern;
    std::string host;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"192.168.0.0/16", "192.168.5.4", true},
      {"192.168.0.0/16", "192.169.0.1", false},
      {"0.0.0.0/0", "8.8.8.8", true},
      {"0.0.0.0/0", "example.com", false},
      {"10.0.0.1-10.0.0.9", "10.0.0.5", true},
      {"10.0.0.1-10.0.0.9", "10.0.0.9", true},
      {"10.0.0.1-10.0.0.9", "10.0.0.10", false},
      {"10.0.0.9-10.0.0.1", "10.0.0.5", false},
      {"10.0.0.9-10.0.0.1", "10.0.0.9-10.0.0.1", true},
      {"10.0.0.0/33", "10.0.0.1", false},
      {"::1", "::1", true},
      {"::1", "127.0.0.1", false},
      {"Example.COM", "example.com", true},
      {"example.com", " example.com", false},  // the host is not trimmed
      {"*.apple.com", "gs.apple.com", true},
      {"*.apple.com", "apple.com", false},
      {"微信.com", "微信.COM", true},
      {"%ComputerName%", "%computername%", true},
  };
  // The engine matches hosts it has prepared once per connection; both ways agree.
  for (const Case& c : cases) {
    EXPECT_EQ(HostPattern(c.pattern).matches(c.host), c.matches) << c.pattern << " vs " << c.host;
    EXPECT_EQ(HostPattern(c.pattern).matches(PreparedHost(c.host)), c.matches) << c.pattern;
  }
}

TEST(PortPattern, AcceptsPortsAndRangesOnly) {
  const std::vector<std::pair<std::string, std::optional<PortPattern>>> cases = {
      {"443", PortPattern{443, 443}},
      {" 443\t", PortPattern{443, 443}},
      {"8000-9000", PortPattern{8000, 9000}},
      {"0-65535", PortPattern{0, 65535}},
      {"+80", PortPattern{80, 80}},
      {"9000-8000", std::nullopt},
      {"8000-", std::nullopt},
      {"-9000", std::nullopt},
      {"8000 - 9000", std::nullopt},
      {"http", std::nullopt},
      {"65536", std::nullopt},
      {"1-70000", std::nullopt},
      {"", std::nullopt},
      {"443\n", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(PortPattern::parse(text), expected) << text;
  const PortPattern range{8000, 9000};
  EXPECT_TRUE(range.matches(8000));
  EXPECT_TRUE(range.matches(9000));
  EXPECT_FALSE(range.matches(9001));
}

}  // namespace
}  // namespace velmora
