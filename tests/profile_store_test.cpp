// The profile store over scratch directories: first use, listing, names, deletion, the active
// marker, damaged files, file modes, and writes that fail, crash or race.
#include "kit/profile_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "test_support.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDirectory;

void writeText(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path) {
  return readFile(path);
}

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 0777;
}

std::vector<std::string> names(const std::vector<Profile>& profiles) {
  std::vector<std::string> result;
  for (const Profile& profile : profiles) result.push_back(profile.name);
  return result;
}

std::vector<std::string> entries(const fs::path& directory) {
  std::vector<std::string> result;
  for (const auto& entry : fs::directory_iterator(directory))
    result.push_back(entry.path().filename().string());
  std::sort(result.begin(), result.end());
  return result;
}

class ProfileStoreTest : public ::testing::Test {
 protected:
  fs::path root() const { return scratch_.path() / "store"; }
  fs::path profiles() const { return root() / "profiles"; }

 private:
  ScratchDirectory scratch_;
};

TEST_F(ProfileStoreTest, FirstUseCreatesAPrivateDefaultProfileAndMarksItActive) {
  const mode_t oldMask = ::umask(0);  // even a permissive umask must not open the store up
  ProfileStore store(root() / "nested");
  ::umask(oldMask);
  const std::vector<Profile> all = store.list();
  ASSERT_EQ(names(all), std::vector<std::string>{"Default"});
  EXPECT_EQ(all[0].rules.size(), 2u);
  EXPECT_EQ(store.activeID(), all[0].id);
  EXPECT_EQ(readText(root() / "nested" / "active"), all[0].id.string());
  EXPECT_EQ(modeOf(root()), 0700u);
  EXPECT_EQ(modeOf(root() / "nested" / "profiles"), 0700u);
  EXPECT_EQ(modeOf(root() / "nested" / "active"), 0600u);
  EXPECT_EQ(modeOf(root() / "nested" / "profiles" / (all[0].id.string() + ".json")), 0600u);
  // The file is the store's pretty, sorted form.
  EXPECT_EQ(readText(root() / "nested" / "profiles" / (all[0].id.string() + ".json")),
            encodeProfileDocument(all[0]));

  // Opening again changes nothing.
  ProfileStore again(root() / "nested");
  EXPECT_EQ(again.list(), all);
}

TEST_F(ProfileStoreTest, AStoreHoldingOnlyADamagedFileMakesNoDefaultOverIt) {
  fs::create_directories(profiles());
  const std::string id = UUID::random().string();
  writeText(profiles() / (id + ".json"), "{ not json");
  ProfileStore store(root());
  EXPECT_TRUE(store.list().empty());
  EXPECT_EQ(entries(profiles()), std::vector<std::string>{id + ".json"});
  EXPECT_FALSE(fs::exists(root() / "active"));
  EXPECT_EQ(readText(profiles() / (id + ".json")), "{ not json");
}

TEST_F(ProfileStoreTest, DamagedFilesOfEveryKindAreSkippedAndNamedInTheUsersWords) {
  ProfileStore store(root());
  const std::string good = encodeProfileDocument(Profile::makeDefault("broken"));
  std::string badBytes = good;
  badBytes.replace(badBytes.find("broken"), 6, "bro\xFFken");
  std::string overflow = good;
  overflow.replace(overflow.find("\"dns\" : {"), 10, "\"dns\" : 1e5555555555, \"x\" : {");
  const std::string deep = "{\"schemaVersion\" : " + std::string(70000, '[') + "\"wrong\"" +
                           std::string(70000, ']') + "}";
  const struct {
    std::string text;
    std::string reason;
  } cases[] = {
      {deep, "JSON 格式错误：嵌套超过 512 层"},
      {overflow, "JSON 格式错误：数字超出可表示的范围"},
      {badBytes, "的文本不是有效的 UTF-8"},
      {good.substr(0, good.size() / 2), "意外结束"},
      {"", "意外结束"},
      {"[" + std::string(500, '[') + std::string(501, ']'), "JSON 数据无效：文档应为对象"},
  };
  for (const auto& c : cases) {
    const std::string id = UUID::random().string();
    const fs::path file = profiles() / (id + ".json");
    writeText(file, c.text);
    EXPECT_EQ(names(store.list()), std::vector<std::string>{"Default"}) << c.reason;
    try {
      store.load(*UUID::parse(id));
      ADD_FAILURE() << c.reason;
    } catch (const json::DecodingError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(file.string()), std::string::npos) << message;
      EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
    EXPECT_EQ(readText(file), c.text);
    fs::remove(file);
  }
}

TEST_F(ProfileStoreTest, OnlyUUIDNamedJSONFilesAreProfiles) {
  ProfileStore store(root());
  const Profile stray = Profile::makeDefault("Stray");
  writeText(profiles() / "notes.json", encodeProfileDocument(stray));
  writeText(profiles() / (stray.id.string() + ".JSON"), encodeProfileDocument(stray));
  writeText(profiles() / (stray.id.string() + ".json.bak"), encodeProfileDocument(stray));
  fs::create_directory(profiles() / "subdir.json");
  EXPECT_EQ(names(store.list()), std::vector<std::string>{"Default"});
}

TEST_F(ProfileStoreTest, NamesAreUniqueIgnoringCaseAndListedCaseSensitively) {
  ProfileStore store(root());
  const Profile work = store.create("work");
  EXPECT_EQ(store.activeProfile().name, "Default");  // creating does not switch
  EXPECT_THROW(store.create("WORK"), ProfileStore::Error);
  // Two names that differ only in case can still exist side by side when written directly.
  Profile upper = Profile::makeDefault("Work");
  store.save(upper);
  store.create("Ärger");
  EXPECT_EQ(names(store.list()), (std::vector<std::string>{"Default", "Work", "work", "Ärger"}));
  EXPECT_EQ(store.find("WORK").id, upper.id);
  EXPECT_EQ(store.find("ärger").name, "Ärger");
  EXPECT_EQ(store.find("work").id, upper.id);
  EXPECT_THROW(store.find("nope"), ProfileStore::Error);
  EXPECT_EQ(store.load(work.id), work);
}

TEST_F(ProfileStoreTest, DuplicateKeepsRulesAndDropsBindings) {
  ProfileStore store(root());
  Profile source = store.activeProfile();
  source.environments = {
      NetworkEnvironment{UUID::random(), "Office", NetworkEnvironment::Kind::wifi("corp")}};
  source.schemaVersion = 4;
  store.save(source);
  const Profile copy = store.duplicate(source.id, "Copy");
  EXPECT_NE(copy.id, source.id);
  EXPECT_EQ(copy.name, "Copy");
  EXPECT_EQ(copy.rules, source.rules);
  EXPECT_TRUE(copy.environments.empty());
  EXPECT_EQ(copy.schemaVersion, 1);
  EXPECT_EQ(store.load(copy.id), copy);
  EXPECT_EQ(store.activeID(), source.id);
  EXPECT_THROW(store.duplicate(source.id, "default"), ProfileStore::Error);
}

TEST_F(ProfileStoreTest, RemoveKeepsOneProfileAndMovesTheActiveMarker) {
  ProfileStore store(root());
  const UUID first = store.activeID();
  try {
    store.remove(first);
    FAIL();
  } catch (const ProfileStore::Error& error) {
    EXPECT_STREQ(error.what(), "至少保留一个 profile");
  }
  EXPECT_EQ(store.list().size(), 1u);

  const Profile second = store.create("Second");
  store.remove(first);
  EXPECT_EQ(store.activeID(), second.id);
  EXPECT_EQ(names(store.list()), std::vector<std::string>{"Second"});

  // A file that is already gone fails with the system's error and leaves the lock free.
  const Profile third = store.create("Third");
  EXPECT_THROW(store.remove(UUID::random()), FileError);
  store.save(third.with({.name = "Third, saved after the failure"}));
  EXPECT_EQ(store.load(third.id).name, "Third, saved after the failure");
}

TEST_F(ProfileStoreTest, ActiveMarkerToleratesWhiteSpaceAndNamesItselfWhenWrong) {
  ProfileStore store(root());
  const UUID id = store.activeID();
  writeText(root() / "active", "  " + id.string() + "\n");
  EXPECT_EQ(store.activeID(), id);
  std::string lower = id.string();
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  writeText(root() / "active", lower);
  EXPECT_EQ(store.activeID(), id);
  writeText(root() / "active", "Default");
  try {
    store.activeID();
    FAIL();
  } catch (const ProfileStore::Error& error) {
    EXPECT_EQ(error.kind(), ProfileStore::Error::Kind::notFound);
    EXPECT_STREQ(error.what(), "找不到 profile「active」");
  }
  fs::remove(root() / "active");
  EXPECT_THROW(store.activeProfile(), FileError);
}

TEST_F(ProfileStoreTest, ProfileMatchingTakesTheFirstBoundProfileByName) {
  using Fingerprint = NetworkEnvironment::Fingerprint;
  ProfileStore store(root());
  const auto bind = [&](const std::string& name, NetworkEnvironment::Kind kind) {
    Profile profile = store.create(name);
    profile.environments.push_back(
        NetworkEnvironment{UUID::random(), name + " net", std::move(kind)});
    store.save(profile);
  };
  bind("b-office", NetworkEnvironment::Kind::wifi("Corp"));
  bind("a-office", NetworkEnvironment::Kind::wifi("corp"));
  bind("home", NetworkEnvironment::Kind::wired("aa:bb", std::nullopt));
  EXPECT_EQ(store.profileMatching({Fingerprint::InterfaceType::wifi, "CORP", {}, {}})->name,
            "a-office");
  EXPECT_EQ(store.profileMatching({Fingerprint::InterfaceType::wired, {}, "AA:BB", {}})->name,
            "home");
  EXPECT_FALSE(store.profileMatching({Fingerprint::InterfaceType::other, "corp", {}, {}}));
}

/// Writes normally until told to fail, then writes half of what it is given and reports an error.
class FailingCalls : public FileCalls {
 public:
  bool failWrite = false;
  bool failRename = false;
  ssize_t write(int fd, const void* data, std::size_t size) override {
    if (!failWrite) return FileCalls::write(fd, data, size);
    FileCalls::write(fd, data, size / 2);
    errno = ENOSPC;
    return -1;
  }
  int rename(const char* from, const char* to) override {
    if (!failRename) return FileCalls::rename(from, to);
    errno = EXDEV;
    return -1;
  }
};

TEST_F(ProfileStoreTest, AFailedWriteLeavesThePreviousFileWholeAndNoDebris) {
  FailingCalls calls;
  ProfileStore store(root(), calls);
  const Profile before = store.activeProfile();
  const fs::path file = profiles() / (before.id.string() + ".json");
  const std::string bytesBefore = readText(file);
  const Profile changed = before.with({.name = std::string(10000, 'x')});

  calls.failWrite = true;
  try {
    store.save(changed);
    FAIL();
  } catch (const FileError& error) {
    EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos) << error.what();
  }
  calls.failWrite = false;
  calls.failRename = true;
  EXPECT_THROW(store.save(changed), FileError);
  EXPECT_THROW(store.setActive(UUID::random()), FileError);
  calls.failRename = false;

  EXPECT_EQ(readText(file), bytesBefore);
  EXPECT_EQ(store.activeID(), before.id);
  EXPECT_EQ(entries(profiles()), std::vector<std::string>{before.id.string() + ".json"});
  EXPECT_EQ(entries(root()), (std::vector<std::string>{"active", "profiles"}));
  store.save(changed);  // and the lock is free again
  EXPECT_EQ(store.activeProfile(), changed);
}

/// Dies in the middle of the write, as a crash or a kill would.
class CrashingCalls : public FileCalls {
 public:
  ssize_t write(int fd, const void* data, std::size_t size) override {
    FileCalls::write(fd, data, size / 2);
    _exit(3);
  }
};

TEST_F(ProfileStoreTest, AProcessKilledMidWriteLeavesThePreviousFileAndDebrisClearedLater) {
  ProfileStore store(root());
  const Profile before = store.activeProfile();
  const fs::path file = profiles() / (before.id.string() + ".json");
  const std::string bytesBefore = readText(file);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CrashingCalls crashing;
    ProfileStore doomed(root(), crashing);
    doomed.save(before.with({.name = "never"}));
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);

  EXPECT_EQ(readText(file), bytesBefore);
  // The half-written temporary remains for now, but it is never taken for a profile.
  EXPECT_EQ(names(store.list()), std::vector<std::string>{"Default"});
  const auto debris = entries(profiles());
  ASSERT_EQ(debris.size(), 2u);
  const fs::path leftover = profiles() / debris.front();
  ASSERT_TRUE(debris.front().starts_with("." + before.id.string() + ".json.tmp-")) << debris[0];

  // Opening the store clears it once it is old enough to be nobody's work in progress, but not
  // a temporary file that a live writer holds.
  const fs::path held = profiles() / ("." + before.id.string() + ".json.tmp-AbCdEf");
  writeText(held, "half");
  const int holder = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const auto anHourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
  ProfileStore{root()};
  EXPECT_EQ(entries(profiles()).size(), 3u);  // both still too young
  fs::last_write_time(leftover, anHourAgo);
  fs::last_write_time(held, anHourAgo);
  ProfileStore{root()};
  EXPECT_EQ(entries(profiles()),
            (std::vector<std::string>{held.filename().string(), before.id.string() + ".json"}));
  ::close(holder);
}

TEST_F(ProfileStoreTest, ConcurrentSaversLeaveOneWholeDocument) {
  ProfileStore store(root());
  const Profile base = store.activeProfile();
  const fs::path file = profiles() / (base.id.string() + ".json");
  // Large documents make a torn write likely if writes were not atomic.
  Profile large = base;
  for (int i = 0; i < 200; ++i)
    large = large.settingRoute("app-" + std::to_string(i), RuleAction::block());
  const auto version = [&](int writer, int round) {
    return large.with(
        {.name = "writer " + std::to_string(writer) + " round " + std::to_string(round)});
  };
  constexpr int kProcesses = 3;
  constexpr int kThreads = 2;
  constexpr int kRounds = 15;

  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ProfileStore own(root());
      for (int round = 0; round < kRounds; ++round) own.save(version(p, round));
      _exit(0);
    }
    children.push_back(child);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        store.save(version(100 + t, round));
        // Every read in the middle of the storm sees a whole document.
        EXPECT_NO_THROW(decodeProfileDocument(readFile(file)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const Profile last = decodeProfileDocument(readFile(file));
  EXPECT_EQ(last.name.substr(last.name.size() - 8), "round 14");
  EXPECT_EQ(last.rules.size(), 202u);
  EXPECT_EQ(entries(profiles()), std::vector<std::string>{base.id.string() + ".json"});
}

}  // namespace
}  // namespace velmora
