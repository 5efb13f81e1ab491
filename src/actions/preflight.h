#pragma once

#include <optional>
#include <string>

#include "access/grant.h"
#include "actions/resolve.h"
#include "base/request_view.h"

namespace tamber {

// The eight actions the broker exposes. There is no delete, no permission change and no
// command.
enum class FileAction { stat, list, read, copy, move, writeNew, replace, mkdir };

// The action's name on the wire ("write_new", ...).
std::string_view actionName(FileAction action);

// True for the five actions that change files: the ones an edit grant adds.
bool changesFiles(FileAction action);

// A request that preflight admitted under one grant: the action and everything the executor
// reads from the request, its paths already checked against the path policy and the grant.
struct CheckedAction {
  FileAction action = FileAction::stat;
  CheckedPath path;
  std::optional<CheckedPath> destination;     // copy and move only
  std::optional<std::string> text;            // the request's "text", when a string
  std::optional<std::string> expectedSha256;  // the request's "expected_sha256", when a string
};

// Decides, without touching the file system, whether `request` may be attempted under
// `grant`, in this order: the grant is live, the action is one of the eight, the edit right
// covers it, and every path it names ("path", then "destination" for copy and move) is
// absolute without "..", allowed by the path policy and inside a granted folder. Returns the
// admitted action, or throws a BrokerFailure with the first refusal's sentence.
CheckedAction preflightFileAction(RequestView request, const AgentGrant& grant);

}  // namespace tamber
