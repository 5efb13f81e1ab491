#include "engine/mcp/agent_command.h"

#include <unistd.h>

#include <iostream>

#include "agent/agent_server.h"
#include "base/failure.h"
#include "base/reply.h"
#include "engine/mcp/broker_call.h"
#include "platform/fd_io.h"

namespace tamber::engine {

int runAgent(const std::string& dataDir, const std::string& requestText, bool json) {
  std::string standardInput;
  if (requestText == "-") {
    // One byte past the broker's limit is enough to know that the request is too long.
    if (const int error = readToEnd(STDIN_FILENO, standardInput, kRequestLimit + 1)) {
      std::cerr << "larkspan: could not read the request from standard input: " << errnoText(error)
                << std::endl;
      return 2;
    }
    if (standardInput.size() > kRequestLimit) {
      std::cerr << "larkspan: the request on standard input is longer than " << kRequestLimit
                << " bytes" << std::endl;
      return 2;
    }
  }
  const Json request =
      Json::parse(requestText == "-" ? standardInput : requestText, nullptr, false);
  if (request.is_discarded() || !request.is_object()) {
    std::cerr << "larkspan: the request must be one JSON object, such as "
                 "{\"action\":\"list\",\"path\":\"/home/me/Project\"}"
              << std::endl;
    return 2;
  }
  const BrokerCall call = callBroker(dataDir, request);
  switch (call.problem) {
    case BrokerProblem::none:
      break;
    case BrokerProblem::noGrant:
      std::cerr << "larkspan: TAMBER_GRANT is not set; run the export line of the capability "
                   "in your invitation first"
                << std::endl;
      return 2;
    case BrokerProblem::badGrant:
      std::cerr << "larkspan: TAMBER_GRANT does not hold a grant token" << std::endl;
      return 2;
    case BrokerProblem::unreachable:
      std::cerr << "larkspan: could not reach the Tamber broker at " << agentSocketPath(dataDir)
                << ": " << call.detail << "; is the Tamber app open?" << std::endl;
      return 1;
    case BrokerProblem::noReply:
    case BrokerProblem::abandoned:
      std::cerr << "larkspan: the Tamber broker closed the connection without a reply object"
                << std::endl;
      return 1;
  }
  if (json) {
    std::cout << jsonData(call.reply) << std::endl;
  } else {
    std::cout << call.reply.dump(2) << std::endl;
  }
  return std::cout ? 0 : 1;
}

}  // namespace tamber::engine
