#include <iostream>

#include "base/reply.h"
#include "engine/broker_call.h"
#include "engine/commands.h"

namespace tamber::engine {

int runAgent(const CommandLine& line) {
  const Json request = Json::parse(line.request, nullptr, false);
  if (request.is_discarded() || !request.is_object()) {
    std::cerr << "larkspan: the request must be one JSON object, such as "
                 "{\"action\":\"list\",\"path\":\"/home/me/Project\"}"
              << std::endl;
    return 2;
  }
  const BrokerCall call = callBroker(line.dataDir, request);
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
      std::cerr << "larkspan: could not reach the Tamber broker at "
                << agentSocketPath(line.dataDir) << ": " << call.detail
                << "; is the Tamber app open?" << std::endl;
      return 1;
    case BrokerProblem::noReply:
      std::cerr << "larkspan: the Tamber broker closed the connection without a reply object"
                << std::endl;
      return 1;
  }
  if (line.json) {
    std::cout << jsonData(call.reply) << std::endl;
  } else {
    std::cout << call.reply.dump(2) << std::endl;
  }
  return std::cout ? 0 : 1;
}

}  // namespace tamber::engine
