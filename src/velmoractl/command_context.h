// What every command handler works with: the parsed words, the output of the run, the two
// backends and the choice between them.
#pragma once

#include <memory>
#include <optional>

#include "args.h"
#include "kit/automation_protocol.h"
#include "kit/offline_operations.h"
#include "kit/profile_store.h"
#include "output.h"

namespace velmora::cli {

/// One run's words and backends. The profile store is opened on first use, so commands that
/// only talk to the application never touch the files.
class CommandContext {
 public:
  CommandContext(const Args& args, Output& out, AutomationXPCProtocol& client, bool useOffline)
      : args(args), out(out), client(client), useOffline(useOffline) {}

  const Args& args;
  Output& out;
  AutomationXPCProtocol& client;
  const bool useOffline;

  bool json() const { return args.hasFlag("--json"); }
  /// The word at index i of the command line, or "" past the end.
  const std::string& word(std::size_t i) const;

  ProfileStore& store();
  OfflineOperations offline() { return OfflineOperations(store()); }

 private:
  std::unique_ptr<ProfileStore> store_;
};

}  // namespace velmora::cli
