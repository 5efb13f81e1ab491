#include <cstdlib>
#include <iostream>

#include "access/failure.h"
#include "access/reply.h"
#include "access/text.h"
#include "agent/agent_client.h"
#include "engine/commands.h"
#include "engine/paths.h"

namespace tamber::engine {

int runAgent(const CommandLine& line) {
  const char* token = std::getenv("TAMBER_GRANT");
  if (token == nullptr || *token == '\0') {
    std::cerr << "larkspan: TAMBER_GRANT is not set; run the export line of the capability in "
                 "your invitation first"
              << std::endl;
    return 2;
  }
  if (validUtf8(token) != token) {
    std::cerr << "larkspan: TAMBER_GRANT does not hold a grant token" << std::endl;
    return 2;
  }
  Json request = Json::parse(line.request, nullptr, false);
  if (request.is_discarded() || !request.is_object()) {
    std::cerr << "larkspan: the request must be one JSON object, such as "
                 "{\"action\":\"list\",\"path\":\"/home/me/Project\"}"
              << std::endl;
    return 2;
  }
  // The token travels only in the request on the private socket; whatever "token" the
  // request itself carried is replaced.
  request["token"] = token;

  const std::string socketPath = absolutePath(line.dataDir) + "/agent.sock";
  std::string reply;
  try {
    reply = sendAgentRequest(socketPath, jsonData(request));
  } catch (const BrokerFailure& failure) {
    std::cerr << "larkspan: could not reach the Tamber broker at " << socketPath << ": "
              << failure.description() << "; is the Tamber app open?" << std::endl;
    return 1;
  }
  const Json parsed = Json::parse(reply, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    std::cerr << "larkspan: the Tamber broker closed the connection without a reply object"
              << std::endl;
    return 1;
  }
  if (line.json) {
    std::cout << reply << std::endl;
  } else {
    std::cout << parsed.dump(2) << std::endl;
  }
  return std::cout ? 0 : 1;
}

}  // namespace tamber::engine
