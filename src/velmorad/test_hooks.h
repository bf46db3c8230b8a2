// A way for tests to feed connection events into a running daemon before the data plane
// produces real ones. Exported only when velmorad is started with --test-hooks.
#pragma once

#include <memory>
#include <string_view>

#include "live_state.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

namespace velmora::daemon {

/// The object TestHooks::objectPath with the interface TestHooks::interfaceName and its one
/// method RecordEvent(s), which records a ConnectionEvent given as JSON as if the traffic path
/// had seen it.
class TestHooks {
 public:
  static constexpr std::string_view objectPath = "/io/velmora/Testing";
  static constexpr std::string_view interfaceName = "io.velmora.Testing1";

  TestHooks(sdbus::IConnection& connection, LiveState& live);
  ~TestHooks();
  TestHooks(const TestHooks&) = delete;
  TestHooks& operator=(const TestHooks&) = delete;

 private:
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace velmora::daemon
