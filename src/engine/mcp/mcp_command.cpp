#include "engine/mcp/mcp_command.h"

#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string_view>

#include "base/failure.h"
#include "engine/inventory/folder_report.h"
#include "engine/mcp/broker_call.h"
#include "engine/mcp/session.h"
#include "engine/mcp/stdio.h"

namespace tamber::engine {

namespace {

constexpr size_t kInventoryChildren = 100;

// The tools' work: broker actions through the agent socket, and the kept inventory.
class BrokerBackend : public mcp::ToolBackend {
 public:
  explicit BrokerBackend(std::string dataDir) : dataDir_(std::move(dataDir)) {}

  Json broker(const Json& request) override {
    BrokerCall call = callBroker(dataDir_, request, &handle_);
    switch (call.problem) {
      case BrokerProblem::none:
        return std::move(call.reply);
      case BrokerProblem::noGrant:
        return failureReply(
            "No file-access grant: TAMBER_GRANT is not set for this server. Ask the user to "
            "grant folders in the Tamber app, then set TAMBER_GRANT in this server's \"env\" "
            "to the token of the invitation's export line and restart the server.");
      case BrokerProblem::badGrant:
        return failureReply(
            "TAMBER_GRANT does not hold a grant token; set it to the token of the "
            "invitation's export line.");
      case BrokerProblem::unreachable:
        return failureReply("Could not reach the Tamber broker at " + agentSocketPath(dataDir_) +
                            " (" + call.detail +
                            "). Ask the user to open the Tamber app: it serves file requests "
                            "only while it runs.");
      case BrokerProblem::noReply:
        return failureReply(
            "The Tamber broker closed the connection without a reply; ask the user to check "
            "that the Tamber app is still open.");
      case BrokerProblem::abandoned:
        return failureReply(AgentCallHandle::kAbandoned);
    }
    return failureReply("The Tamber broker gave no reply.");
  }

  // One folder of the kept index; the largest subfolders only, so that a home folder's
  // thousands do not flood the agent's context.
  Json inventory(const Json& arguments) override {
    try {
      Json reply = folderReport(dataDir_, std::string(stringMember(arguments, "path").value_or("")),
                                kInventoryChildren);
      reply["ok"] = true;
      return reply;
    } catch (const Failure& failure) {
      return failureReply(failure.description());
    }
  }

  void abandon() override { handle_.abandon(); }

 private:
  const std::string dataDir_;
  AgentCallHandle handle_;
};

}  // namespace

int runMcp(const std::string& dataDir, bool readOnly) {
  // A client that goes away must end the server through a failed write, not a signal.
  ::signal(SIGPIPE, SIG_IGN);
  BrokerBackend backend(dataDir);
  mcp::Session session(backend, readOnly);
  std::cerr << "larkspan: MCP server on standard input and output for the Tamber broker at "
            << agentSocketPath(dataDir) << (readOnly ? ", read-only" : "") << std::endl;
  return mcp::serveStdio(session, STDIN_FILENO, STDOUT_FILENO);
}

}  // namespace tamber::engine
