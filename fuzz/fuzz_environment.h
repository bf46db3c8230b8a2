// What the fuzz targets of the tool share: a scratch home of their own (so that nothing they
// write lands anywhere else), no session bus, the backends over that home, and output that goes
// nowhere.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "automation_client.h"
#include "backend.h"
#include "kit/profile_store.h"
#include "output.h"

namespace velmora::fuzzing {

/// Swallows everything, as an MCP client or a terminal that reads nothing would.
class DiscardedOutput final : public cli::Output {
 public:
  void flush() override {}

 private:
  void write(std::string_view) override {}
};

/// The home, bus and backends of every input, made once per process and removed at its end.
class Environment {
 public:
  static Environment& shared() {
    static Environment environment;
    return environment;
  }

  cli::Backend& backend() { return backend_; }
  const std::filesystem::path& home() const { return home_; }

 private:
  Environment()
      : home_(scratchHome()),
        backend_(
            client_, [this]() -> ProfileStore& { return store(); }, cli::Backend::Choice::files) {
    ::setenv("HOME", home_.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    const std::string nowhere = "unix:path=" + (home_ / "no-bus").string();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", nowhere.c_str(), 1);
  }
  ~Environment() {
    store_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
  }

  /// Memory-backed when the machine has /dev/shm, so that the profile writes cost little.
  static std::filesystem::path scratchHome() {
    const std::filesystem::path base =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "velmora-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
  }

  /// The store, started afresh now and then so that what the inputs add does not pile up.
  ProfileStore& store() {
    if (!store_ || ++uses_ % 2000 == 0) {
      store_.reset();
      std::error_code ignored;
      std::filesystem::remove_all(home_ / "store", ignored);
      store_ = std::make_unique<ProfileStore>(home_ / "store");
    }
    return *store_;
  }

  std::filesystem::path home_;
  cli::AutomationClient client_;
  std::unique_ptr<ProfileStore> store_;
  unsigned uses_ = 0;
  cli::Backend backend_;
};

}  // namespace velmora::fuzzing
