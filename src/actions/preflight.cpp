#include "actions/preflight.h"

#include <array>
#include <charconv>
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

constexpr size_t kFolderDigits = 16;

bool isLowerHex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

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

std::string continuationText(const ListContinuation& continuation) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, continuation.position, 16).ptr;
  return std::string(digits, written) + "." + continuation.folder;
}

std::optional<ListContinuation> parseContinuation(std::string_view text) {
  if (text.empty()) {
    return ListContinuation{};
  }
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > 16) {
    return std::nullopt;
  }
  const std::string_view position = text.substr(0, dot);
  const std::string_view folder = text.substr(dot + 1);
  // One spelling per continuation: lower-case digits without leading zeros.
  if (!isLowerHex(position) || (position.size() > 1 && position[0] == '0') ||
      folder.size() != kFolderDigits || !isLowerHex(folder)) {
    return std::nullopt;
  }
  ListContinuation continuation;
  const auto [end, error] = std::from_chars(position.data(), position.data() + position.size(),
                                            continuation.position, 16);
  if (error != std::errc() || end != position.data() + position.size()) {
    return std::nullopt;  // beyond 2^63 - 1
  }
  continuation.folder = std::string(folder);
  return continuation;
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
  if (checked.action == FileAction::read && request.has("offset")) {
    checked.offset = request.wholeNumber("offset");
    require(checked.offset.has_value(), "Read offset must be a whole number of bytes, 0 or more");
  }
  if (checked.action == FileAction::list && request.has("continuation")) {
    const std::optional<std::string_view> text = request.string("continuation");
    checked.continuation = text ? parseContinuation(*text) : std::nullopt;
    require(checked.continuation.has_value(),
            "Unknown list continuation; list the folder again without one");
  }
  return checked;
}

}  // namespace tamber
