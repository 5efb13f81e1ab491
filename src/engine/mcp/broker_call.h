#pragma once

#include <optional>
#include <string>

#include "agent/agent_client.h"
#include "base/reply.h"

namespace tamber::engine {

// Why a request never got a reply from the broker.
enum class BrokerProblem {
  none,         // the broker replied; the reply may still be a refusal
  noGrant,      // TAMBER_GRANT is unset or empty
  badGrant,     // TAMBER_GRANT is not valid UTF-8, so no grant can have it as its token
  unreachable,  // the socket could not be reached; `detail` holds the system's error text
  noReply,      // the broker hung up without a reply object
  abandoned,    // the caller abandoned the request through its handle
};

struct BrokerCall {
  BrokerProblem problem = BrokerProblem::none;
  Json reply;          // the broker's reply object when `problem` is none
  std::string detail;  // the system's error text for `unreachable`
};

// Sends `request` (a JSON object) to the broker at DATA/agent.sock as the agent's command
// line does: the token is read from TAMBER_GRANT at each call and replaces any "token" the
// request carried, and the call waits as long as the broker takes (an elevated request waits
// for the user's approval), unless `handle` abandons it. The token is never part of what this
// returns.
BrokerCall callBroker(const std::string& dataDir, Json request, AgentCallHandle* handle = nullptr);

// DATA/agent.sock for the data directory as given on the command line.
std::string agentSocketPath(const std::string& dataDir);

}  // namespace tamber::engine
