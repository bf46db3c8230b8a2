// ProfileStore::list, outlines and find over 10, 100 and 1,000 profiles of 50 rules each (every
// call reads and decodes every file: the store keeps no cache), and one profile document of 10 to
// 10,000 rules decoded by the direct reader, as an outline, and through the document tree.
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

void BM_Outlines(benchmark::State& state) {
  StoreFixture fixture(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(fixture.store().outlines());
}

void BM_Find(benchmark::State& state) {
  StoreFixture fixture(static_cast<int>(state.range(0)));
  const std::string name = "PROFILE " + std::to_string(state.range(0) - 1);
  for (auto _ : state) benchmark::DoNotOptimize(fixture.store().find(name));
}

/// The document of a profile of `rules` routes, as the store writes it.
std::string documentOf(int rules) {
  Profile profile = Profile::makeDefault("bench");
  for (int r = 2; r < rules; ++r) {
    profile = profile.settingRoute("com.vendor" + std::to_string(r) + ".app",
                                   r % 2 ? RuleAction::block() : RuleAction::direct());
  }
  return encodeProfileDocument(profile);
}

void BM_DecodeDirect(benchmark::State& state) {
  const std::string document = documentOf(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(decodeProfileDocument(document));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(document.size()));
}

void BM_DecodeOutline(benchmark::State& state) {
  const std::string document = documentOf(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(decodeProfileOutline(document));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(document.size()));
}

void BM_DecodeThroughTree(benchmark::State& state) {
  const std::string document = documentOf(static_cast<int>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(profileFromJSON(json::Reader(json::parse(document))));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(document.size()));
}

BENCHMARK(BM_List)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Outlines)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Find)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeDirect)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeOutline)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeThroughTree)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora
