#pragma once

// The branches of performFileAction, one per action, for the executor's own use. Each runs
// inside the executor's frame: the request has passed preflight, "path" has been resolved to
// `target`, and the executor closes target.parent after the branch returns. Each branch
// closes everything it opened itself on every way out, returns the success reply, or throws
// a BrokerFailure.

#include <optional>
#include <string>

#include "access/grant.h"
#include "access/reply.h"
#include "actions/digest.h"
#include "actions/resolve.h"
#include "platform/unique_fd.h"

namespace tamber {

// The request's value under `key` when it is a string; nothing when it is absent, of another
// JSON type, or the request is not an object.
std::optional<std::string> stringField(const Json& request, const char* key);

// Read-only actions on the target's parent and leaf.
Json statEntry(const ResolvedPath& target);
Json listFolder(const ResolvedPath& target);
// `file` is the target opened by regularFD.
Json readContent(const UniqueFd& file, Deadline deadline);

// Creating actions on the target's parent and leaf.
Json writeNew(const Json& request, const ResolvedPath& target);
Json makeFolder(const ResolvedPath& target);

// "copy" or "move" of the regular file `source` (opened from `target`) to "destination".
Json transferFile(const Json& request, const AgentGrant& grant, const ResolvedPath& target,
                  UniqueFd source, Deadline deadline);

// "replace" of the regular file `current` (opened from `target`), keeping it as a backup.
Json replaceContent(const Json& request, const AgentGrant& grant, const ResolvedPath& target,
                    UniqueFd current, Deadline deadline);

}  // namespace tamber
