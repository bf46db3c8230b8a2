// The records that travel between velmoractl and the running application, with their JSON forms.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "json_text.h"
#include "rule_engine.h"

namespace velmora {

/// The answer to a dry-run route test: where the connection would go and the rule trace.
struct TestRouteDTO {
  std::string action;
  std::optional<std::string> matchedRule;
  std::vector<std::string> trace;

  /// "命中「rule」" for matched entries, "跳过「rule」：reason" for every other.
  static TestRouteDTO fromVerdict(const Verdict& verdict);

  bool operator==(const TestRouteDTO&) const = default;
};

json::Value toJSON(const TestRouteDTO& record);
TestRouteDTO testRouteDTOFromJSON(const json::Reader& reader);

}  // namespace velmora
