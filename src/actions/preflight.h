#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Where a paged list goes on: the position in the folder's stream after the last name of the
// page before, and the folder that stream belongs to. A request's empty continuation asks
// for the first page, which has neither.
struct ListContinuation {
  std::int64_t position = 0;  // the stream's position (telldir), 0 or more
  std::string folder;  // 16 lower-case hexadecimal digits naming the folder; empty: first page
};

// The continuation's text as an agent passes it back: the position in hexadecimal, a ".", and
// the folder's 16 digits.
std::string continuationText(const ListContinuation& continuation);

// The continuation `text` stands for: the empty text for the first page, or one that
// continuationText wrote; nothing for any other text.
std::optional<ListContinuation> parseContinuation(std::string_view text);

// A request that preflight admitted under one grant: the action and everything the executor
// reads from the request, its paths already checked against the path policy and the grant.
struct CheckedAction {
  FileAction action = FileAction::stat;
  CheckedPath path;
  std::optional<CheckedPath> destination;        // copy and move only
  std::optional<std::string> text;               // the request's "text", when a string
  std::optional<std::string> expectedSha256;     // the request's "expected_sha256", when a string
  std::optional<std::int64_t> offset;            // read: where to start; absent for a whole file
  std::optional<ListContinuation> continuation;  // list: present when pages were asked for
};

// Decides, without touching the file system, whether `request` may be attempted under
// `grant`, in this order: the grant is live, the action is one of the eight, the edit right
// covers it, and every path it names ("path", then "destination" for copy and move) is
// absolute without "..", allowed by the path policy and inside a granted folder; then the
// optional fields of the action: a read's "offset" (a whole number of bytes, 0 or more: "Read
// offset must be a whole number of bytes, 0 or more") and a list's "continuation" (empty, or
// one a list gave: "Unknown list continuation; list the folder again without one"). Other
// actions ignore those two fields, as every action ignores fields it does not take. Returns
// the admitted action, or throws a BrokerFailure with the first refusal's sentence.
CheckedAction preflightFileAction(RequestView request, const AgentGrant& grant);

}  // namespace tamber
