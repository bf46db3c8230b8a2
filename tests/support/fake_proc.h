// A /proc tree of plain files and links in a scratch directory, for the discovery scanners.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "test_support.h"

namespace velmora::testing {

/// Builds the parts of /proc that discovery reads: processes with their executable, name and
/// descriptors, and the kernel's socket tables.
class FakeProc {
 public:
  const std::filesystem::path& root() const { return directory_.path(); }

  /// A file with this content, relative to the root.
  void file(const std::filesystem::path& relative, const std::string& content) {
    const std::filesystem::path path = root() / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << content;
  }

  /// A symbolic link to target, which need not exist.
  void link(const std::filesystem::path& relative, const std::string& target) {
    const std::filesystem::path path = root() / relative;
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::create_symlink(target, path);
  }

  /// A process directory, with an exe link and a comm file when they are given.
  void process(pid_t pid, const std::string& exe, const std::string& comm = "") {
    const std::string directory = std::to_string(pid);
    std::filesystem::create_directories(root() / directory / "fd");
    if (!exe.empty()) link(directory + "/exe", exe);
    if (!comm.empty()) file(directory + "/comm", comm + "\n");
  }

  /// An open descriptor linking to target, with its fdinfo when one is given.
  void descriptor(pid_t pid, int fd, const std::string& target, const std::string& fdinfo = "") {
    const std::string directory = std::to_string(pid);
    link(directory + "/fd/" + std::to_string(fd), target);
    if (!fdinfo.empty()) file(directory + "/fdinfo/" + std::to_string(fd), fdinfo);
  }

 private:
  ScratchDirectory directory_;
};

}  // namespace velmora::testing
