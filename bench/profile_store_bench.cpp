// ProfileStore::list and find over 10, 100 and 1,000 profiles of 50 rules each. Every call reads
// and decodes every file: the store keeps no cache.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "kit/profile_store.h"

namespace velmora {
namespace {

/// A store of `count` profiles in a fresh temporary directory, removed at the end.
class StoreFixture {
 public:
  explicit StoreFixture(int count) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
    directory_ = ::mkdtemp(pattern.data());
    store_.emplace(directory_);
    for (int p = 1; p < count; ++p) {
      Profile profile = Profile::makeDefault("profile " + std::to_string(p));
      for (int r = 0; r < 48; ++r) {
        profile = profile.settingRoute("com.vendor" + std::to_string(r) + ".app",
                                       r % 2 ? RuleAction::block() : RuleAction::direct());
      }
      store_->save(profile);
    }
  }
  ~StoreFixture() { std::filesystem::remove_all(directory_); }

  ProfileStore& store() { return *store_; }

 private:
  std::filesystem::path directory_;
  std::optional<ProfileStore> store_;
};

void BM_List(benchmark::State& state) {
  StoreFixture fixture(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(fixture.store().list());
}

void BM_Find(benchmark::State& state) {
  StoreFixture fixture(static_cast<int>(state.range(0)));
  const std::string name = "PROFILE " + std::to_string(state.range(0) - 1);
  for (auto _ : state) benchmark::DoNotOptimize(fixture.store().find(name));
}

BENCHMARK(BM_List)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Find)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora
