#include "selfcheck/agent_client_proof.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "agent/audit_log.h"
#include "base/failure.h"
#include "platform/fd_io.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

std::string withinText(std::chrono::milliseconds limit) {
  const auto seconds = (limit.count() + 999) / 1000;
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// `name` inside `folder`, with exactly one slash between them.
std::string inside(const std::string& folder, const std::string& name) {
  if (folder.empty()) {
    return name;
  }
  return folder + (folder.back() == '/' ? "" : "/") + name;
}

// Writes the fixture over an earlier one. A symbolic link in its place is refused rather
// than followed: the write must not land outside the fixture folder.
void writeFixture(const std::string& path) {
  if (const int error = writeWholeFile(path, kFixtureContent)) {
    throw errnoFailure(error);
  }
}

// The audit log as it stands; empty when there is none (or it cannot be read as a file).
std::string auditLog(const std::string& dataDirectory) {
  std::string text;
  readWholeFile(inside(dataDirectory, kAuditLogName), text);
  return text;
}

bool boolean(const Json& reply, const char* key, bool expected) {
  return boolMember(reply, key) == expected;
}

}  // namespace

Json agentCall(const AgentCommandLine& commandLine, const Json& request, const std::string& token) {
  const ProcessResult run =
      runProcess({commandLine.engine, "--data", commandLine.dataDirectory, "--json", "agent",
                  jsonData(request)},
                 {{{"TAMBER_GRANT", token}}, ProcessOptions::Errors::discard, commandLine.limit});
  if (run.startError != 0) {
    throw errnoFailure(run.startError);
  }
  // Without a limit a command line that never ends would hold the window frozen for good.
  require(!run.timedOut, "Agent CLI did not complete within " + withinText(commandLine.limit));
  require(run.status == 0, "Agent CLI did not complete");
  const Json reply = Json::parse(run.output);
  require(reply.is_object(), "Agent response missing");
  return reply;
}

Json agentClientProof(GrantStore& grants, const std::optional<std::string>& fixtureRoot,
                      const AgentCommandLine& commandLine) {
  require(fixtureRoot.has_value(), "Fixture-only qualification");
  const std::string& root = *fixtureRoot;
  const std::string fixture = inside(root, kFixtureFileName);
  writeFixture(fixture);
  std::vector<std::string> tokens;

  const AgentGrant view = grants.add({root}, false, false, true);
  tokens.push_back(view.token);
  const Json read = {{"action", "read"}, {"path", fixture}};
  require(isSuccessReply(agentCall(commandLine, read, view.token)), "Agent view route failed");

  const Json writeNew = {{"action", "write_new"}, {"path", fixture + ".denied"}, {"text", "no"}};
  require(boolean(agentCall(commandLine, writeNew, view.token), "ok", false),
          "View route accepted editing");

  const AgentGrant edit = grants.add({root}, true, false, true);
  tokens.push_back(edit.token);
  const Json copy = {{"action", "copy"}, {"path", fixture}, {"destination", fixture + ".copy"}};
  require(boolean(agentCall(commandLine, copy, edit.token), "verified", true),
          "Agent verified-copy route failed");

  // The broker refuses this in preflight, before its hop to the approval dialog: that hop
  // needs the thread this proof is blocking.
  const AgentGrant elevated = grants.add({root}, true, true, true);
  tokens.push_back(elevated.token);
  const Json protectedList = {{"action", "list"}, {"path", root + "/.pellam/workstation-control"}};
  const Json refused = agentCall(commandLine, protectedList, elevated.token);
  require(boolean(refused, "ok", false) &&
              stringMember(refused, "error").value_or("").find("agent-private") !=
                  std::string_view::npos,
          "Protected elevated request must fail before any administrator prompt");

  grants.revokeAll();
  require(boolean(agentCall(commandLine, read, view.token), "ok", false),
          "Revoked route accepted access");

  // The report says no token was logged; look, rather than take it on trust.
  const std::string log = auditLog(commandLine.dataDirectory);
  for (const std::string& token : tokens) {
    require(log.find(token) == std::string::npos, "Agent token reached the audit log");
  }

  return Json{
      {"cli_to_unix_socket", true},
      {"view_read", true},
      {"view_edit_denied", true},
      {"copy_verified", true},
      {"revoked_request_denied", true},
      {"tokens_logged", false},
      {"protected_elevated_path_denied_before_prompt", true},
  };
}

}  // namespace tamber
