// The profiles on disk: one JSON file per profile, named by its id, and the marker of the active
// one. The directory listing is the truth; nothing is cached.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "file_io.h"
#include "model.h"
#include "profile_document.h"
#include "shared_paths.h"

namespace velmora {

/// The profile files of one store directory. Writes are atomic and, within one process,
/// serialised; reads take no lock.
class ProfileStore {
 public:
  class Error : public velmora::Error {
   public:
    enum class Kind { notFound, duplicateName, lastProfile };
    /// What a name names: a profile, or a proxy, chain or rule within one.
    enum class Subject { profile, proxy, chain, rule };

    static Error notFound(const std::string& name, Subject subject = Subject::profile);
    static Error duplicateName(const std::string& name, Subject subject = Subject::profile);
    static Error lastProfile();

    Kind kind() const { return kind_; }

   private:
    Error(Kind kind, const std::string& description) : velmora::Error(description), kind_(kind) {}
    Kind kind_;
  };

  /// What opening a store may do to the disk.
  enum class Access {
    readWrite,  // set the store up: its directories, a first profile, no abandoned temporaries
    readOnly,   // take the directory as it is, for a reader that must change nothing
  };

  /// Opens the store, creating "profiles" and, when it holds no profile file, a "Default"
  /// profile that becomes active. Directories get mode 0700 and files 0600.
  explicit ProfileStore(std::filesystem::path directory, FileCalls& calls = FileCalls::system())
      : ProfileStore(std::move(directory), Access::readWrite, calls) {}
  ProfileStore(std::filesystem::path directory, Access access,
               FileCalls& calls = FileCalls::system());

  const std::filesystem::path& directory() const { return directory_; }

  /// Every readable profile, sorted by name (case-sensitive, stable).
  std::vector<Profile> list() const;
  /// The outlines of the same profiles as list(), in the same order, for far less work.
  std::vector<ProfileOutline> outlines() const;
  Profile load(const UUID& id) const;
  ProfileOutline outline(const UUID& id) const;
  /// The first profile of list() whose name equals name ignoring case.
  Profile find(std::string_view name) const;
  ProfileOutline findOutline(std::string_view name) const;
  /// A new default profile; the name must not be taken, ignoring case.
  Profile create(const std::string& name);
  /// A copy under a new name and id, bound to no network.
  Profile duplicate(const UUID& id, const std::string& newName);
  /// Removes a profile file, keeping at least one; moves "active" when the active one goes.
  void remove(const UUID& id);
  void save(const Profile& profile);
  void setActive(const UUID& id);
  UUID activeID() const;
  Profile activeProfile() const;
  ProfileOutline activeOutline() const;
  /// The first profile, in name order, with an environment matching the fingerprint.
  std::optional<Profile> profileMatching(const NetworkEnvironment::Fingerprint& fingerprint) const;

 private:
  std::vector<UUID> listIDs() const;
  /// Reads the file of a profile with decode, naming the file when it cannot be decoded.
  template <typename Decode>
  auto read(const UUID& id, Decode decode) const;
  /// Everything decode reads from the readable files, sorted by name.
  template <typename Decode>
  auto readAll(Decode decode) const;
  bool nameTaken(std::string_view name) const;
  std::filesystem::path fileOf(const UUID& id) const;

  const std::filesystem::path directory_;
  const std::filesystem::path profilesDirectory_;
  FileCalls& calls_;
  std::mutex lock_;
};

}  // namespace velmora
