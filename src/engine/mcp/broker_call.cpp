#include "engine/mcp/broker_call.h"

#include <cstdlib>

#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "base/failure.h"
#include "base/path.h"
#include "base/text.h"

namespace tamber::engine {

std::string agentSocketPath(const std::string& dataDir) {
  return absolutePath(dataDir) + "/" + kAgentSocketName;
}

BrokerCall callBroker(const std::string& dataDir, Json request, AgentCallHandle* handle) {
  BrokerCall call;
  // Read afresh each time: the grant is the caller's environment, never a cached copy.
  const char* token = std::getenv("TAMBER_GRANT");
  if (token == nullptr || *token == '\0') {
    call.problem = BrokerProblem::noGrant;
    return call;
  }
  if (validUtf8(token) != token) {
    call.problem = BrokerProblem::badGrant;
    return call;
  }
  // The token travels only in the request on the private socket.
  request["token"] = token;

  std::string reply;
  try {
    reply = sendAgentRequest(agentSocketPath(dataDir), jsonData(request),
                             std::chrono::milliseconds(0), handle);
  } catch (const BrokerFailure& failure) {
    call.problem = handle != nullptr && handle->abandoned() ? BrokerProblem::abandoned
                                                            : BrokerProblem::unreachable;
    call.detail = failure.description();
    return call;
  }
  // Almost every reply is plain JSON; anything else goes to the full parser.
  std::optional<Json> plain = parsePlainJson(reply);
  call.reply = plain ? std::move(*plain) : Json::parse(reply, nullptr, false);
  if (call.reply.is_discarded() || !call.reply.is_object()) {
    call.problem = BrokerProblem::noReply;
    call.reply = Json();
  }
  return call;
}

}  // namespace tamber::engine
