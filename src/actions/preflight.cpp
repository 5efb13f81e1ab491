#include <array>
#include <string_view>

#include "access/failure.h"
#include "actions/action_steps.h"
#include "actions/executor.h"
#include "actions/resolve.h"

namespace tamber {
namespace {

struct ActionRule {
  std::string_view name;
  bool edits;
  bool takesDestination;
};

// Every action the broker exposes. There is no delete, no permission change and no command.
constexpr std::array<ActionRule, 8> kActions = {{
    {"stat", false, false},
    {"list", false, false},
    {"read", false, false},
    {"copy", true, true},
    {"move", true, true},
    {"write_new", true, false},
    {"replace", true, false},
    {"mkdir", true, false},
}};

void requireInsideGrant(const std::string& value, const AgentGrant& grant) {
  const std::string path = agentPath(value);
  for (const std::string& root : grant.roots) {
    if (insideRoot(path, root)) {
      return;
    }
  }
  throw BrokerFailure("Path is outside the selected grant folders");
}

}  // namespace

void preflightFileAction(const Json& request, const AgentGrant& grant) {
  require(grant.expires > WallClock::now(), "Grant expired");

  const std::string action = stringField(request, "action").value_or("");
  const ActionRule* rule = nullptr;
  for (const ActionRule& candidate : kActions) {
    if (candidate.name == action) {
      rule = &candidate;
    }
  }
  require(rule != nullptr,
          "Unknown action; permanent deletion and arbitrary commands are not exposed");
  require(!rule->edits || grant.edit, "View-only grant cannot edit files");

  requireInsideGrant(stringField(request, "path").value_or(""), grant);
  if (rule->takesDestination) {
    requireInsideGrant(stringField(request, "destination").value_or(""), grant);
  }
}

}  // namespace tamber
