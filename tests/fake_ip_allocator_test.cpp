// The fake-IP allocator's sequence, reuse, expiry and eviction on a clock the test moves, and its
// invariants under several threads.
#include "kit/fake_ip_allocator.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace velmora {
namespace {

using namespace std::chrono_literals;

/// A clock that moves only when the test says so.
struct ManualClock {
  FakeIPAllocator::Clock::time_point now{};
  FakeIPAllocator::Now function() {
    return [this] { return now; };
  }
};

TEST(FakeIPAllocator, HandsOutConsecutiveAddressesAndReusesThem) {
  ManualClock clock;
  FakeIPAllocator allocator(1000, 60s, clock.function());
  EXPECT_EQ(allocator.ip("Alpha.TEST"), "198.18.0.2");
  EXPECT_EQ(allocator.ip("alpha.test"), "198.18.0.2");
  EXPECT_EQ(allocator.ip("beta.test"), "198.18.0.3");
  EXPECT_EQ(allocator.ip("ÄPFEL.de"), "198.18.0.4");
  EXPECT_EQ(allocator.count(), 3u);
  EXPECT_EQ(allocator.host("198.18.0.2"), "alpha.test");
  EXPECT_EQ(allocator.host("198.18.0.4"), "äpfel.de");
  EXPECT_EQ(allocator.host("198.18.0.200"), std::nullopt);
  EXPECT_EQ(allocator.host("10.0.0.1"), std::nullopt);
  EXPECT_EQ(allocator.host("alpha.test"), std::nullopt);
}

TEST(FakeIPAllocator, RecognisesThePoolWithoutLookingAtMappings) {
  EXPECT_TRUE(FakeIPAllocator::isFakeIP("198.19.255.255"));
  EXPECT_TRUE(FakeIPAllocator::isFakeIP("198.18.0.1"));
  EXPECT_FALSE(FakeIPAllocator::isFakeIP("198.20.0.0"));
  EXPECT_FALSE(FakeIPAllocator::isFakeIP("198.17.255.255"));
  EXPECT_FALSE(FakeIPAllocator::isFakeIP("not an address"));
  EXPECT_TRUE(FakeIPAllocator::isFakeIP(0xC6130001u));
}

TEST(FakeIPAllocator, FullPoolGivesUpTheMappingThatExpiresFirst) {
  ManualClock clock;
  FakeIPAllocator allocator(3, 60s, clock.function());
  EXPECT_EQ(allocator.ip("a"), "198.18.0.2");
  clock.now += 1s;
  EXPECT_EQ(allocator.ip("b"), "198.18.0.3");
  clock.now += 1s;
  EXPECT_EQ(allocator.ip("a"), "198.18.0.2");  // a is renewed, so b now expires first
  clock.now += 1s;
  EXPECT_EQ(allocator.ip("c"), "198.18.0.3");
  EXPECT_EQ(allocator.host("198.18.0.3"), "c");
  EXPECT_EQ(allocator.host("198.18.0.2"), "a");
  EXPECT_EQ(allocator.count(), 2u);
  // b lost its slot and gets a new one when it comes back.
  clock.now += 1s;
  EXPECT_EQ(allocator.ip("b"), "198.18.0.2");
  EXPECT_EQ(allocator.host("198.18.0.2"), "b");
}

TEST(FakeIPAllocator, ARestoredAllocatorAnswersAsTheOneItWasTakenFrom) {
  ManualClock clock;
  clock.now += 1000s;
  FakeIPAllocator before(10, 60s, clock.function());
  before.ip("a");
  clock.now += 30s;
  before.ip("b");
  before.ip("c");
  clock.now += 40s;  // a has expired, b and c not
  before.host("198.18.0.4");
  const std::uint64_t version = before.version();
  const std::vector<FakeIPAllocator::Mapping> kept = before.mappings();
  EXPECT_EQ(before.version(), version);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].host, "b");
  EXPECT_EQ(kept[1].expires, clock.now + 60s);

  FakeIPAllocator after(10, 60s, clock.function());
  after.ip("b");  // given 198.18.0.2 here, which the kept mapping takes back
  std::vector<FakeIPAllocator::Mapping> restored = kept;
  const auto at = [](std::uint32_t offset) { return FakeIPAllocator::poolBase() | offset; };
  restored.push_back({"late", at(5), clock.now - 1s});
  restored.push_back({"outside", at(11), clock.now + 60s});
  restored.push_back({"B", at(6), clock.now + 60s});
  after.restore(restored);
  EXPECT_EQ(after.mappings(), kept);
  EXPECT_EQ(after.host("198.18.0.5"), std::nullopt);
  // New names take free slots, never a restored one.
  EXPECT_EQ(after.ip("d"), "198.18.0.5");
  EXPECT_EQ(after.ip("e"), "198.18.0.6");
}

TEST(FakeIPAllocator, ExpiredMappingLastsUntilAClaimProbesIt) {
  ManualClock clock;
  FakeIPAllocator allocator(4, 10s, clock.function());
  allocator.ip("old");      // offset 2
  allocator.ip("fresh-1");  // offset 3
  clock.now += 11s;
  EXPECT_EQ(allocator.host("198.18.0.2"), "old");  // still there, and renewed
  allocator.ip("fresh-2");                         // offset 4; the cursor wraps to 2
  clock.now += 11s;
  // Both 2 and 3 have expired; the cursor meets 2 first.
  EXPECT_EQ(allocator.ip("new"), "198.18.0.2");
  EXPECT_EQ(allocator.host("198.18.0.2"), "new");
  EXPECT_EQ(allocator.ip("old"), "198.18.0.3");
  EXPECT_EQ(allocator.count(), 3u);
}

TEST(FakeIPAllocator, KeepsItsMapsConsistentUnderManyThreads) {
  FakeIPAllocator allocator(64, 3600s);
  constexpr int kThreads = 4;
  constexpr int kNames = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&allocator, t] {
      for (int i = 0; i < kNames; ++i) {
        const std::string name = "host-" + std::to_string((i * 7 + t) % kNames) + ".test";
        const std::string address = allocator.ip(name);
        EXPECT_TRUE(FakeIPAllocator::isFakeIP(address));
        allocator.host(address);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_LE(allocator.count(), 63u);
  // Every address maps back to one name, and that name maps to the same address.
  std::set<std::string> names;
  for (std::uint32_t offset = 0; offset < 70; ++offset) {
    const std::string address = "198.18.0." + std::to_string(offset);
    const auto name = allocator.host(address);
    if (offset < 2 || offset > 64) {
      EXPECT_FALSE(name) << address;
      continue;
    }
    if (!name) continue;
    EXPECT_TRUE(names.insert(*name).second) << *name;
    EXPECT_EQ(allocator.ip(*name), address);
  }
  EXPECT_EQ(names.size(), allocator.count());
}

}  // namespace
}  // namespace velmora
