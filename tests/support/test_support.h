// What many tests need: a scratch directory and a runner for the built velmoractl.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmora::testing {

/// A fresh directory under the temporary directory, removed with everything in it.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

/// What a finished child process left behind.
struct RunResult {
  std::string out;
  std::string err;
  int status = -1;
};

/// Runs the built velmoractl with the arguments, HOME set to home, no session bus and no
/// XDG_CONFIG_HOME, and waits for it.
RunResult runVelmoractl(const std::vector<std::string>& arguments, const std::filesystem::path& home);

}  // namespace velmora::testing
