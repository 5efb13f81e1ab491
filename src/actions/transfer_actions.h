#pragma once

// A branch of performFileAction, for the executor's own use. It runs inside the executor's
// frame: the request has passed preflight, "path" has been resolved to `target`, and the
// executor closes target.parent after the branch returns. It closes everything it opened
// itself on every way out, returns the success reply, or throws a BrokerFailure.

#include "access/grant.h"
#include "actions/change_proof.h"
#include "actions/digest.h"
#include "actions/preflight.h"
#include "actions/resolve.h"
#include "base/reply.h"
#include "platform/unique_fd.h"

namespace tamber {

// "copy" or "move" of the regular file `source` (opened from `target`) to the checked
// destination. `proof`, when given, receives the copy or the moved file. A copy stops, and
// removes what it wrote, once `stillWanted` says false.
ActionReply transferFile(const CheckedAction& action, const AgentGrant& grant,
                         const ResolvedPath& target, UniqueFd source, Deadline deadline,
                         ChangeProof* proof, const StillWanted& stillWanted);

}  // namespace tamber
