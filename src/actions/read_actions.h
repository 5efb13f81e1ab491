#pragma once

// A branch of performFileAction, for the executor's own use. It runs inside the executor's
// frame: the request has passed preflight, "path" has been resolved to `target`, and the
// executor closes target.parent after the branch returns. It closes everything it opened
// itself on every way out, returns the success reply, or throws a BrokerFailure.

#include "actions/digest.h"
#include "actions/resolve.h"
#include "base/reply.h"
#include "platform/unique_fd.h"

namespace tamber {

// Read-only actions on the target's parent and leaf.
ActionReply statEntry(const ResolvedPath& target);
ActionReply listFolder(const ResolvedPath& target);
// `file` is the target opened by regularFD.
ActionReply readContent(const UniqueFd& file, Deadline deadline);

}  // namespace tamber
