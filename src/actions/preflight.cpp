#include <array>
#include <string_view>

#include "actions/executor.h"
#include "base/failure.h"

namespace tamber {
namespace {

struct ActionRule {
  std::string_view name;
  FileAction action;
  bool edits;
  bool takesDestination;
};

constexpr std::array<ActionRule, 8> kActions = {{
    {"stat", FileAction::stat, false, false},
    {"list", FileAction::list, false, false},
    {"read", FileAction::read, false, false},
    {"copy", FileAction::copy, true, true},
    {"move", FileAction::move, true, true},
    {"write_new", FileAction::writeNew, true, false},
    {"replace", FileAction::replace, true, false},
    {"mkdir", FileAction::mkdir, true, false},
}};

}  // namespace

CheckedAction preflightFileAction(const Json& request, const AgentGrant& grant) {
  require(grant.expires > WallClock::now(), "Grant expired");

  const std::string name = stringMember(request, "action").value_or("");
  const ActionRule* rule = nullptr;
  for (const ActionRule& candidate : kActions) {
    if (candidate.name == name) {
      rule = &candidate;
    }
  }
  require(rule != nullptr,
          "Unknown action; permanent deletion and arbitrary commands are not exposed");
  require(!rule->edits || grant.edit, "View-only grant cannot edit files");

  CheckedAction checked;
  checked.action = rule->action;
  checked.path = checkPath(stringMember(request, "path").value_or(""), grant);
  if (rule->takesDestination) {
    checked.destination = checkPath(stringMember(request, "destination").value_or(""), grant);
  }
  checked.text = stringMember(request, "text");
  checked.expectedSha256 = stringMember(request, "expected_sha256");
  return checked;
}

}  // namespace tamber
