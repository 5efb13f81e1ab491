#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "access/grant.h"

namespace tamber::desktop {

inline constexpr std::chrono::milliseconds kInviteRunLimit{10000};

// What the invitation dialog says when the engine ran past its time limit.
inline constexpr const char* kInviteTimeoutText =
    "The local engine did not produce an invitation within 10 seconds.";

// The engine's part of an invitation from the output of its invite run: the string member
// "text" of the one JSON object printed. Throws the JSON parser's error for output that is
// not JSON, and BrokerFailure "Could not generate invitation" for any other top level or a
// missing or non-string "text".
std::string engineInvitationText(const std::string& output);

// The whole invitation: the engine's text, then either the grant's capability (its token as
// a shell export line, scope, rights, kind and expiry) or, without a grant, the note that no
// file access is attached.
std::string invitationText(const std::string& engineText, const std::optional<AgentGrant>& grant);

// Runs `engine` with "--data" `dataDirectory` "invite" "--json" (environment inherited,
// standard error discarded) and returns its standard output once it has exited; its exit
// status is not examined. Throws a std::runtime_error with the system's text when it cannot
// be started, and BrokerFailure kInviteTimeoutText when it has not exited within `limit`
// (it is then killed). Blocks the calling thread without running its main loop.
std::string runEngineInvite(const std::string& engine, const std::string& dataDirectory,
                            std::chrono::milliseconds limit = kInviteRunLimit);

}  // namespace tamber::desktop
