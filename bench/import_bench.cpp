// Importing a generated Proxifier profile of 5,000 rules: reading it, merging it into a profile,
// and the whole offline import into a store, first and second time; time and peak heap.
// "import_bench --write-ppx <file>" writes the generated profile instead, for timing the tool.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <pugixml.hpp>
#include <string>

#include "kit/importers.h"
#include "kit/offline_operations.h"
#include "kit/profile_store.h"

namespace {

// Heap in use and its high-water mark, over every allocation of the program.
std::atomic<std::size_t> heapInUse{0};
std::atomic<std::size_t> heapPeak{0};

void* counted(void* memory) {
  if (!memory) throw std::bad_alloc();
  const std::size_t now = heapInUse += malloc_usable_size(memory);
  std::size_t peak = heapPeak.load();
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
  return memory;
}

void uncounted(void* memory) {
  if (!memory) return;
  heapInUse -= malloc_usable_size(memory);
  std::free(memory);
}

}  // namespace

void* operator new(std::size_t size) {
  return counted(std::malloc(size == 0 ? 1 : size));
}
void* operator new[](std::size_t size) {
  return counted(std::malloc(size == 0 ? 1 : size));
}
void operator delete(void* memory) noexcept {
  uncounted(memory);
}
void operator delete[](void* memory) noexcept {
  uncounted(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  uncounted(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  uncounted(memory);
}

namespace velmora {
namespace {

constexpr int kRules = 5000;

/// A profile as the tool writes on Windows, CRLF and all: three proxies (one with credentials
/// and a label), a chain over two of them, and rules of the shapes real files have: quoted
/// application names on separate lines, wildcard hosts with and without ";", spaced IPv4 ranges,
/// an IPv6 range now and then, ports on every fifth rule, actions of every kind.
std::string generatedProfile() {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<ProxifierProfile version=\"102\" platform=\"Windows\">\r\n"
      "  <Options><Resolve><ViaProxy enabled=\"true\" /></Resolve></Options>\r\n"
      "  <ProxyList>\r\n"
      "    <Proxy id=\"100\" type=\"SOCKS5\"><Options>48</Options><Port>1080</Port>"
      "<Address>127.0.0.1</Address><Label>Home</Label></Proxy>\r\n"
      "    <Proxy id=\"101\" type=\"HTTPS\"><Authentication enabled=\"true\"><Password>pw"
      "</Password><Username>me</Username></Authentication><Port>3128</Port>"
      "<Address>10.0.0.2</Address></Proxy>\r\n"
      "    <Proxy id=\"102\" type=\"SOCKS5\"><Port>7890</Port><Address>10.0.0.3</Address>"
      "</Proxy>\r\n"
      "  </ProxyList>\r\n"
      "  <ChainList><Chain id=\"100\" type=\"simple\"><Name>Out</Name>"
      "<Proxy enabled=\"true\">100</Proxy><Proxy enabled=\"true\">102</Proxy></Chain>"
      "</ChainList>\r\n"
      "  <RuleList>\r\n";
  static const char* const actions[] = {"<Action type=\"Proxy\">100</Action>",
                                        "<Action type=\"Proxy\">101</Action>",
                                        "<Action type=\"Chain\">100</Action>",
                                        "<Action type=\"Direct\" />", "<Action type=\"Block\" />"};
  for (int i = 0; i < kRules; ++i) {
    const std::string n = std::to_string(i);
    text += "    <Rule enabled=\"" + std::string(i % 10 == 9 ? "false" : "true") + "\">\r\n";
    text += "      " + std::string(actions[i % 5]) + "\r\n";
    if (i % 2 == 0) {
      text += "      <Applications>\"App " + n + ".exe\";\r\nhelper" + n + ".exe;\r\n" + "tool" +
              n + "*.exe</Applications>\r\n";
    }
    text += "      <Targets>*.vendor" + n + ".com; \r\napi.vendor" + n + ".net\r\n*.cdn" + n +
            ".example;\r\n10." + std::to_string(i % 256) + ".0.0 - 10." + std::to_string(i % 256) +
            ".255.255;";
    if (i % 50 == 0) text += "\r\nfc00:: - fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff;";
    text += "\r\n\r\n</Targets>\r\n";
    if (i % 5 == 0) text += "      <Ports>80;443;8000 - 9000</Ports>\r\n";
    text += "      <Name>Rule " + n + "</Name>\r\n    </Rule>\r\n";
  }
  text +=
      "    <Rule enabled=\"true\"><Action type=\"Direct\" /><Targets>localhost; 127.0.0.1; "
      "%ComputerName%</Targets><Name>Localhost</Name></Rule>\r\n"
      "    <Rule enabled=\"true\"><Action type=\"Proxy\">100</Action><Name>Default</Name>"
      "</Rule>\r\n"
      "  </RuleList>\r\n</ProxifierProfile>\r\n";
  return text;
}

const std::string& profileText() {
  static const std::string text = generatedProfile();
  return text;
}

/// Runs prepare (untimed) and then body once per iteration and reports, besides the time, the
/// most heap the body held at once above what was in use before it started.
template <typename Prepare, typename Body>
void measured(benchmark::State& state, Prepare prepare, Body body) {
  std::size_t peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    prepare();
    const std::size_t before = heapInUse.load();
    heapPeak = before;
    state.ResumeTiming();
    body();
    peak = std::max(peak, heapPeak.load() - before);
  }
  state.counters["peak_heap_MB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
  state.counters["file_KB"] = static_cast<double>(profileText().size()) / 1024.0;
}

void BM_Read(benchmark::State& state) {
  measured(
      state, [] {}, [] { benchmark::DoNotOptimize(PPXImportAdapter().parse(profileText())); });
}

void BM_Merge(benchmark::State& state) {
  const ImportedConfig imported = PPXImportAdapter().parse(profileText());
  const Profile fresh = Profile::makeDefault("bench");
  const Profile once = mergeImport(fresh, imported).profile;
  const Profile& into = state.range(0) == 0 ? fresh : once;
  measured(
      state, [] {}, [&] { benchmark::DoNotOptimize(mergeImport(into, imported)); });
}

/// The whole import of the tool: the bytes into the active profile of a fresh temporary store,
/// or into a profile that already holds them. The copies the import leaves in the temporary
/// directory go to the store's directory too.
void BM_ImportIntoStore(benchmark::State& state) {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
  const std::filesystem::path directory = ::mkdtemp(pattern.data());
  const char* const previous = std::getenv("TMPDIR");
  const std::optional<std::string> temporary =
      previous ? std::optional<std::string>(previous) : std::nullopt;
  ::setenv("TMPDIR", directory.c_str(), 1);
  {
    ProfileStore store(directory / "store");
    OfflineOperations operations(store);
    if (state.range(0) == 1) operations.importProfile(profileText());
    const Profile start = store.activeProfile();
    measured(
        state, [&] { store.save(start); },
        [&] { benchmark::DoNotOptimize(operations.importProfile(profileText())); });
  }
  if (temporary) {
    ::setenv("TMPDIR", temporary->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  std::filesystem::remove_all(directory);
}

BENCHMARK(BM_Read)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Merge)->ArgName("again")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImportIntoStore)->ArgName("again")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  // The XML reader allocates with malloc unless told otherwise; its document counts too.
  pugi::set_memory_management_functions([](std::size_t size) { return counted(std::malloc(size)); },
                                        uncounted);
  if (argc == 3 && std::strcmp(argv[1], "--write-ppx") == 0) {
    std::ofstream(argv[2], std::ios::binary) << velmora::profileText();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
