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
Json performFileAction(const Json& request, const AgentGrant& grant);

}  // namespace tamber
