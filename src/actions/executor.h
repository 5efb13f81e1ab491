#pragma once

#include "access/grant.h"
#include "access/reply.h"

namespace tamber {

// Decides, without touching the file system, whether `request` may be attempted under
// `grant`: the grant is live, the action is one of the eight, the edit right covers it, and
// every path it names passes the path policy and lies inside a granted folder.
// Returns normally or throws a BrokerFailure with the refusal's sentence.
void preflightFileAction(const Json& request, const AgentGrant& grant);

// Performs one agent request under `grant` and returns its success reply ({"ok": true, ...});
// throws a BrokerFailure on any refusal or failure. Runs the preflight itself first.
// Synchronous; safe to call from any thread.
// Every target is reached through descriptors opened from the granted folder without
// following links; nothing existing is ever deleted or overwritten (the only removal is of a
// partial copy this call created itself); content is read or changed only on regular files
// with one link. Digests and copies give up at the action deadline: the earlier of 30 seconds
// after the target was resolved and the grant's expiry. No descriptor outlives the call, and
// the function keeps no state between calls.
Json performFileAction(const Json& request, const AgentGrant& grant);

}  // namespace tamber
