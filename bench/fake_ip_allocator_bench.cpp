// FakeIPAllocator::ip for names it knows and names it has not seen, from one and two threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <vector>

#include "kit/fake_ip_allocator.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kCapacity = 131071;

std::vector<std::string> names(int count, const std::string& prefix) {
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) result.push_back(prefix + std::to_string(i) + ".example.com");
  return result;
}

FakeIPAllocator& shared() {
  static FakeIPAllocator allocator(kCapacity, 3600s);
  return allocator;
}

void BM_KnownName(benchmark::State& state) {
  static const std::vector<std::string> known = [] {
    auto list = names(1000, "known");
    for (const auto& name : list) shared().ip(name);
    return list;
  }();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7;
  for (auto _ : state) benchmark::DoNotOptimize(shared().ip(known[i++ % known.size()]));
}

void BM_NewName(benchmark::State& state) {
  // Fewer names than the pool holds: every call claims a free slot.
  static const std::vector<std::string> fresh = names(120000, "new");
  static std::atomic<std::size_t> next{0};
  for (auto _ : state) benchmark::DoNotOptimize(shared().ip(fresh[next++ % fresh.size()]));
}

void BM_NewNameFullPool(benchmark::State& state) {
  // Every slot is live, so each new name probes the whole pool and then evicts the earliest.
  const auto capacity = static_cast<std::uint32_t>(state.range(0));
  FakeIPAllocator allocator(capacity, 3600s);
  for (const auto& name : names(static_cast<int>(capacity), "seed")) allocator.ip(name);
  const std::vector<std::string> fresh = names(10000, "evicting");
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(allocator.ip(fresh[i++ % fresh.size()]));
}

BENCHMARK(BM_KnownName)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_NewName)->Threads(1)->Threads(2)->UseRealTime()->Iterations(50000);
BENCHMARK(BM_NewNameFullPool)->Arg(1024)->Arg(131071)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora
