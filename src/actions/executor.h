#pragma once

#include <optional>
#include <string>

#include "access/grant.h"
#include "actions/change_proof.h"
#include "actions/digest.h"
#include "actions/preflight.h"
#include "base/reply.h"

namespace tamber {

// Performs an admitted action under the grant that admitted it and returns its success reply
// ({"ok": true, ...}); throws a BrokerFailure on any failure. Nothing the preflight proved is
// checked again; what the file system says is.
// Every target is reached through descriptors opened from the granted folder without
// following links; nothing existing is ever deleted or overwritten (the only removal is of a
// partial copy this call created itself); content is read or changed only on regular files
// with one link. Digests and copies give up at the action deadline: the earlier of 30 seconds
// after the file was opened and the grant's expiry. No descriptor outlives the call, and
// the function keeps no state between calls. Synchronous; safe to call from any thread.
// When `proof` is given and the action changed something (write_new, mkdir, copy, move,
// replace), it receives what the change left (see ChangeProof); it is left as it was for
// the actions that change nothing and on failure.
// `stillWanted` is asked between the chunks of a copy and its digests: once it says false (the
// client went away) the copy stops there and removes its partial copy.
ActionReply performFileAction(const CheckedAction& action, const AgentGrant& grant,
                              ChangeProof* proof = nullptr, const StillWanted& stillWanted = {});

// preflightFileAction, then performFileAction: for callers that hold a request nobody has
// checked yet.
ActionReply performFileAction(const Json& request, const AgentGrant& grant,
                              const StillWanted& stillWanted = {});

}  // namespace tamber
