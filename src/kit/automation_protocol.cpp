#include "automation_protocol.h"

namespace velmora {

TestRouteDTO TestRouteDTO::fromVerdict(const Verdict& verdict) {
  TestRouteDTO record{.action = verdict.actionDescription(), .matchedRule = std::nullopt, .trace = {}};
  if (verdict.matchedRule) record.matchedRule = verdict.matchedRule->name;
  record.trace.reserve(verdict.trace.size());
  // The frames are fixed text; the reasons inside them were localised when the trace was made.
  for (const Verdict::TraceEntry& entry : verdict.trace) {
    record.trace.push_back(entry.matched ? "命中「" + entry.ruleName + "」"
                                         : "跳过「" + entry.ruleName + "」：" + entry.reason);
  }
  return record;
}

json::Value toJSON(const TestRouteDTO& record) {
  json::Value result = {{"action", record.action}, {"trace", record.trace}};
  if (record.matchedRule) result["matchedRule"] = *record.matchedRule;
  return result;
}

TestRouteDTO testRouteDTOFromJSON(const json::Reader& reader) {
  return TestRouteDTO{.action = reader["action"].string(),
                      .matchedRule = reader.optionalString("matchedRule"),
                      .trace = reader["trace"].strings()};
}

}  // namespace velmora
