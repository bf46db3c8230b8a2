// The tool's text helpers: argument parsing, byte counts, JSON layouts and VL filling.
#include <gtest/gtest.h>

#include "args.h"
#include "kit/json_text.h"
#include "kit/localize.h"
#include "output.h"

namespace velmora {
namespace {

using cli::Args;

TEST(Args, FollowsTheValueRules) {
  struct Case {
    std::vector<std::string> argv;
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::set<std::string> flags;
  };
  const std::vector<Case> cases = {
      {{"rule", "add", "x", "--app", "A", "--action", "direct"},
       {"rule", "add", "x"},
       {{"--app", "A"}, {"--action", "direct"}},
       {}},
      // An option followed by a "--" word takes no value.
      {{"logs", "--limit", "--json"}, {"logs"}, {}, {"--limit", "--json"}},
      // The last argument cannot take a value.
      {{"proxy", "add", "p", "h", "1", "--user"}, {"proxy", "add", "p", "h", "1"}, {}, {"--user"}},
      // An unknown option still swallows the next word.
      {{"--verbose", "status"}, {}, {{"--verbose", "status"}}, {}},
      // A value may begin with a single hyphen.
      {{"--port", "-1"}, {}, {{"--port", "-1"}}, {}},
      // The value-less options never take the next word.
      {{"--json", "status", "--offline", "x", "-h", "y", "--follow", "z", "--help", "w"},
       {"status", "x", "y", "z", "w"},
       {},
       {"--json", "--offline", "-h", "--follow", "--help"}},
      // A later occurrence replaces the earlier value.
      {{"-o", "a", "-o", "b"}, {}, {{"-o", "b"}}, {}},
      {{}, {}, {}, {}},
  };
  for (const Case& c : cases) {
    const Args args(c.argv);
    EXPECT_EQ(args.positional, c.positional) << c.argv.size();
    EXPECT_EQ(args.options, c.options) << c.argv.size();
    EXPECT_EQ(args.flags, c.flags) << c.argv.size();
  }
  EXPECT_EQ(Args({"logs", "--limit", "--json"}).flag({"--limit"}), std::nullopt);
  // run's own option comes before the program; after it every word is the program's.
  const Args transparent({"run", "--transparent", "--", "env", "--transparent"});
  EXPECT_EQ(transparent.program, (std::vector<std::string>{"env", "--transparent"}));
  EXPECT_EQ(transparent.flags, std::set<std::string>{"--transparent"});
  EXPECT_EQ(Args({"run", "env", "--transparent"}).flags, std::set<std::string>{});
  EXPECT_EQ(Args({"-a", "direct"}).flag({"--action", "-a"}), "direct");
}

TEST(HumanBytes, ChoosesTheUnitBeforeRounding) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "0 B"},
      {512, "512 B"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {1048575, "1024.0 KB"},
      {1572864, "1.5 MB"},
      {1073741824, "1.0 GB"},
      {1099511627776ull, "1.0 TB"},
      {1099511627776ull * 2048, "2048.0 TB"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(cli::humanBytes(count), text) << count;
}

TEST(JSONText, PrettyLayoutMatchesTheStoreFormat) {
  const json::Value value = {{"b", {1, 2}},
                             {"a", "x/y"},
                             {"c", json::Value::array()},
                             {"d", json::Value::object()},
                             {"名", "微信"}};
  EXPECT_EQ(json::pretty(value),
            "{\n"
            "  \"a\" : \"x\\/y\",\n"
            "  \"b\" : [\n"
            "    1,\n"
            "    2\n"
            "  ],\n"
            "  \"c\" : [],\n"
            "  \"d\" : {},\n"
            "  \"名\" : \"微信\"\n"
            "}");
  EXPECT_EQ(json::compact(value), R"({"a":"x\/y","b":[1,2],"c":[],"d":{},"名":"微信"})");
  EXPECT_EQ(json::compact(json::Value("tab\t\"q\"\\\x01")), R"("tab\t\"q\"\\\u0001")");
}

TEST(VL, FillsPlaceholdersInOrderAndByPosition) {
  EXPECT_EQ(VL("未知命令「%@」。", "foo"), "未知命令「foo」。");
  EXPECT_EQ(VL("%@ 有 %lld 条规则", "Work", 12), "Work 有 12 条规则");
  EXPECT_EQ(VL("%2$@ 与 %1$@", "a", "b"), "b 与 a");
  EXPECT_EQ(VL("100%% 完成 %lld", -3), "100% 完成 -3");
  EXPECT_EQ(VL("没有占位符"), "没有占位符");
  EXPECT_EQ(VL("多余的 %@ 和 %@", "一"), "多余的 一 和 ");
}

}  // namespace
}  // namespace velmora
