#pragma once

// A branch of performFileAction, for the executor's own use. It runs inside the executor's
// frame: the request has passed preflight, "path" has been resolved to `target`, and the
// executor closes target.parent after the branch returns. It closes everything it opened
// itself on every way out, returns the success reply, or throws a BrokerFailure.

#include "actions/change_proof.h"
#include "actions/digest.h"
#include "actions/preflight.h"
#include "actions/resolve.h"
#include "base/reply.h"
#include "platform/unique_fd.h"

namespace tamber {

// "replace" of the regular file `current` (opened from `target`), keeping it as a backup.
// `proof`, when given, receives the new file and the backup.
ActionReply replaceContent(const CheckedAction& action, const ResolvedPath& target,
                           UniqueFd current, Deadline deadline, ChangeProof* proof);

}  // namespace tamber
