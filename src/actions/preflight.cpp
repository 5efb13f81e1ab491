#include "actions/preflight.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

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

std::string_view actionName(FileAction action) {
  for (const ActionRule& rule : kActions) {
    if (rule.action == action) {
      return rule.name;
    }
  }
  return {};
}

bool changesFiles(FileAction action) {
  for (const ActionRule& rule : kActions) {
    if (rule.action == action) {
      return rule.edits;
    }
  }
  return false;
}

CheckedAction preflightFileAction(RequestView request, const AgentGrant& grant) {
  require(grant.expires > WallClock::now(), "Grant expired");

  const std::string_view name = request.string("action").value_or("");
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
  checked.path = checkPath(request.string("path").value_or(""), grant);
  if (rule->takesDestination) {
    checked.destination = checkPath(request.string("destination").value_or(""), grant);
  }
  if (const std::optional<std::string_view> text = request.string("text")) {
    checked.text = std::string(*text);
  }
  if (const std::optional<std::string_view> digest = request.string("expected_sha256")) {
    checked.expectedSha256 = std::string(*digest);
  }
  return checked;
}

}  // namespace tamber
