#include "desktop/invitation.h"

#include <ctime>
#include <stdexcept>
#include <vector>

#include "agent/elevated.h"
#include "base/failure.h"
#include "base/reply.h"
#include "base/text.h"
#include "base/time.h"
#include "desktop/settings.h"
#include "platform/process.h"

namespace tamber::desktop {

std::string engineInvitationText(const std::string& output) {
  const Json invite = Json::parse(output);
  const std::optional<std::string_view> text = stringMember(invite, "text");
  require(text.has_value(), "Could not generate invitation");
  return std::string(*text);
}

std::string invitationText(const std::string& engineText, const std::optional<AgentGrant>& grant) {
  if (!grant) {
    return engineText +
           "\n\nNo file-access grant is attached. Ask me to grant selected folders in the "
           "desktop app if contents or edits are needed.";
  }
  std::string scope;
  for (const std::string& root : grant->roots) {
    scope += (scope.empty() ? "" : ", ") + root;
  }
  return engineText + "\n\nPRIVATE CAPABILITY, do not publish or log:\nexport TAMBER_GRANT=" +
         shellQuote(grant->token) + "\nScope: " + scope + "\nRights: " +
         (grant->edit ? "Edit: list/stat/read/write_new/mkdir/copy/move/replace"
                      : "View: list/stat/read") +
         "; " + (grant->elevated ? "Elevated, each action needs native approval" : "Ordinary") +
         ". Expires: " + localTimeText(grant->expires) +
         ". The desktop app must remain open. Never use this token outside the selected scopes.";
}

std::string runEngineInvite(const std::string& engine, const std::string& dataDirectory,
                            std::chrono::milliseconds limit) {
  std::vector<std::string> argv = engineInviteArguments(dataDirectory);
  argv.insert(argv.begin(), engine);
  // The output is complete when the pipe closes; the exit is awaited as well, because an
  // engine may close its output and keep running. Its status is not examined.
  const ProcessResult run = runProcess(argv, {{}, ProcessOptions::Errors::discard, limit});
  if (run.startError != 0) {
    throw std::runtime_error(errnoFailure(run.startError).description());
  }
  require(!run.timedOut, kInviteTimeoutText);
  return run.output;
}

}  // namespace tamber::desktop
