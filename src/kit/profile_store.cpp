#include "profile_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "localize.h"
#include "unicode.h"

namespace velmora {
namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

}  // namespace

ProfileStore::Error ProfileStore::Error::notFound(const std::string& name, Subject subject) {
  switch (subject) {
    case Subject::proxy:
      return Error(Kind::notFound, VL("找不到代理「%@」", name));
    case Subject::chain:
      return Error(Kind::notFound, VL("找不到代理链「%@」", name));
    case Subject::rule:
      return Error(Kind::notFound, VL("找不到规则「%@」", name));
    case Subject::profile:
      break;
  }
  return Error(Kind::notFound, VL("找不到 profile「%@」", name));
}

ProfileStore::Error ProfileStore::Error::duplicateName(const std::string& name, Subject subject) {
  switch (subject) {
    case Subject::proxy:
      return Error(Kind::duplicateName, VL("已有名为「%@」的代理", name));
    case Subject::chain:
      return Error(Kind::duplicateName, VL("已有名为「%@」的代理链", name));
    case Subject::rule:
      return Error(Kind::duplicateName, VL("已有名为「%@」的规则", name));
    case Subject::profile:
      break;
  }
  return Error(Kind::duplicateName, VL("已存在同名 profile「%@」", name));
}

ProfileStore::Error ProfileStore::Error::lastProfile() {
  return Error(Kind::lastProfile, VL("至少保留一个 profile"));
}

ProfileStore::ProfileStore(std::filesystem::path directory, Access access, FileCalls& calls)
    : directory_(std::move(directory)), profilesDirectory_(directory_ / "profiles"), calls_(calls) {
  if (access == Access::readOnly) return;
  createDirectories(profilesDirectory_, kDirectoryMode);
  removeAbandonedTemporaryFiles(directory_);
  removeAbandonedTemporaryFiles(profilesDirectory_);
  // A damaged file still counts: the user's data is never papered over with a fresh default.
  if (listIDs().empty()) {
    const Profile profile = Profile::makeDefault("Default");
    save(profile);
    setActive(profile.id);
  }
}

std::filesystem::path ProfileStore::fileOf(const UUID& id) const {
  return profilesDirectory_ / (id.string() + ".json");
}

std::vector<UUID> ProfileStore::listIDs() const {
  std::vector<UUID> ids;
  std::error_code error;
  for (auto entry = std::filesystem::directory_iterator(profilesDirectory_, error);
       !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const std::filesystem::path& path = entry->path();
    if (path.extension() != ".json") continue;
    if (const auto id = UUID::parse(path.stem().string())) ids.push_back(*id);
  }
  return ids;
}

template <typename Decode>
auto ProfileStore::read(const UUID& id, Decode decode) const {
  const std::filesystem::path path = fileOf(id);
  const std::string text = readFile(path);
  try {
    return decode(text);
  } catch (const json::DecodingError& error) {
    throw json::DecodingError(VL("profile 文件「%@」无法读取：%@", path.string(), error.what()));
  }
}

template <typename Decode>
auto ProfileStore::readAll(Decode decode) const {
  std::vector<decltype(decode(std::string_view()))> results;
  for (const UUID& id : listIDs()) {
    try {
      results.push_back(read(id, decode));
    } catch (const velmora::Error&) {
      // An unreadable or damaged file is left alone and simply not listed.
    }
  }
  std::stable_sort(results.begin(), results.end(),
                   [](const auto& a, const auto& b) { return a.name < b.name; });
  return results;
}

std::vector<Profile> ProfileStore::list() const {
  return readAll(decodeProfileDocument);
}

std::vector<ProfileOutline> ProfileStore::outlines() const {
  return readAll(decodeProfileOutline);
}

Profile ProfileStore::load(const UUID& id) const {
  return read(id, decodeProfileDocument);
}

ProfileOutline ProfileStore::outline(const UUID& id) const {
  return read(id, decodeProfileOutline);
}

Profile ProfileStore::find(std::string_view name) const {
  return load(findOutline(name).id);
}

ProfileOutline ProfileStore::findOutline(std::string_view name) const {
  for (ProfileOutline& outline : outlines()) {
    if (unicode::equalsIgnoringCase(outline.name, name)) return std::move(outline);
  }
  throw Error::notFound(std::string(name));
}

bool ProfileStore::nameTaken(std::string_view name) const {
  const std::vector<ProfileOutline> all = outlines();
  return std::any_of(all.begin(), all.end(), [&](const ProfileOutline& outline) {
    return unicode::equalsIgnoringCase(outline.name, name);
  });
}

Profile ProfileStore::create(const std::string& name) {
  if (nameTaken(name)) throw Error::duplicateName(name);
  const Profile profile = Profile::makeDefault(name);
  save(profile);
  return profile;
}

Profile ProfileStore::duplicate(const UUID& id, const std::string& newName) {
  if (nameTaken(newName)) throw Error::duplicateName(newName);
  const Profile source = load(id);
  Profile copy = source.with({.name = newName, .environments = std::vector<NetworkEnvironment>{}});
  copy.schemaVersion = Profile::currentSchemaVersion;
  copy.id = UUID::random();
  save(copy);
  return copy;
}

void ProfileStore::remove(const UUID& id) {
  if (listIDs().size() < 2) throw Error::lastProfile();
  bool wasActive = false;
  try {
    wasActive = activeID() == id;
  } catch (const velmora::Error&) {
    // No readable marker: the profile is not the active one.
  }
  {
    std::lock_guard guard(lock_);
    const std::filesystem::path path = fileOf(id);
    if (::unlink(path.c_str()) != 0)
      throw FileError(VL("无法删除「%@」：%@", path.string(), std::strerror(errno)));
  }
  if (wasActive) {
    const std::vector<UUID> remaining = listIDs();
    if (!remaining.empty()) setActive(remaining.front());
  }
}

void ProfileStore::save(const Profile& profile) {
  const std::string document = encodeProfileDocument(profile);
  std::lock_guard guard(lock_);
  writeFileAtomically(fileOf(profile.id), document, kFileMode, calls_);
}

void ProfileStore::setActive(const UUID& id) {
  std::lock_guard guard(lock_);
  writeFileAtomically(directory_ / "active", id.string(), kFileMode, calls_);
}

UUID ProfileStore::activeID() const {
  const std::string text = readFile(directory_ / "active");
  const auto first = text.find_first_not_of(" \t\r\n\v\f");
  const auto last = text.find_last_not_of(" \t\r\n\v\f");
  const auto id = first == std::string::npos
                      ? std::nullopt
                      : UUID::parse(std::string_view(text).substr(first, last - first + 1));
  if (!id) throw Error::notFound("active");
  return *id;
}

Profile ProfileStore::activeProfile() const {
  return load(activeID());
}

ProfileOutline ProfileStore::activeOutline() const {
  return outline(activeID());
}

std::optional<Profile> ProfileStore::profileMatching(
    const NetworkEnvironment::Fingerprint& fingerprint) const {
  for (const ProfileOutline& outline : outlines()) {
    const bool bound = std::any_of(
        outline.environments.begin(), outline.environments.end(),
        [&](const NetworkEnvironment& environment) { return environment.matches(fingerprint); });
    if (bound) return load(outline.id);
  }
  return std::nullopt;
}

}  // namespace velmora
