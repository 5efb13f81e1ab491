#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "access/grant.h"
#include "base/reply.h"
#include "platform/process.h"

namespace tamber {

// What the desktop shell supplies for elevated requests: the synchronous hop to its UI thread
// and the approval dialog. Tests supply scripted ones.
class ElevatedApprover {
 public:
  virtual ~ElevatedApprover() = default;

  // Runs `work` on the UI thread and returns once it has run there. Called only from the
  // broker thread, one call at a time. May return without running `work` when the
  // application is shutting down; the request is then answered "Elevated action denied".
  virtual void runOnMainThread(const std::function<void()>& work) = 0;

  // Shows the approval dialog modally: title `messageText`, body `informativeText`, first
  // and default button kApproveButtonLabel, second button kDenyButtonLabel. Returns true only
  // when the person chose the first button. Called on the UI thread, from inside `work`.
  virtual bool approve(const std::string& messageText, const std::string& informativeText) = 0;
};

inline constexpr const char* kApprovalMessageText = "Allow elevated agent action?";
inline constexpr const char* kApproveButtonLabel = "Allow and authenticate";
inline constexpr const char* kDenyButtonLabel = "Deny";

// The approval dialog's body for `request`: its action, path and destination, then the
// warning. A missing or non-string action or path shows as empty text, a missing or
// non-string destination as an em dash. Control, line-separator and bidirectional-override
// characters in the agent's values are shown as \uXXXX escapes, so a file name cannot add
// lines to the dialog or reorder what it says.
std::string approvalInformativeText(const Json& request);

// How the helper's launcher reported a failed run: the error number and, when the helper
// wrote something, its output.
struct LaunchError {
  std::optional<long long> number;
  std::optional<std::string> message;
};

// The reply decoder's inputs for one helper run: the output of a successful run, or the
// error of a failed one.
struct LaunchOutcome {
  std::optional<std::string> reply;
  std::optional<LaunchError> error;
};

// Maps a finished launcher run: status 0 gives the output as the reply; the authorisation
// launcher's refusal status (126) gives error number -128 (cancelled) and nothing else; any
// other status gives that status as the error number and the output as its message.
LaunchOutcome launchOutcomeOf(const ProcessResult& result);

// Turns a helper run into the agent's reply, or throws the failure that explains it:
//  - error -128: "Administrator authorization was cancelled. ..."
//  - an error whose message is the helper's JSON object with "ok" false: that object;
//  - any other error: the launch-failure sentence with the error number (0 when missing);
//  - no error and a helper JSON object as reply: that object, whatever its "ok";
//  - no error and anything else: "Privileged helper returned an invalid response. ...".
// A helper JSON object is a JSON object holding "ok" with a Boolean value.
Json decodePrivilegedReply(const std::optional<std::string>& reply,
                           const std::optional<LaunchError>& error);

// The object the helper receives: `request` without its "token", with "roots", "identities"
// (path to [device, inode]), "edit" and "expires" (seconds since 1970) taken from `grant`,
// overwriting whatever the agent sent under those names.
Json helperPayload(const Json& request, const AgentGrant& grant);

// The value that follows "--privileged-op": Base64 of the payload's compact JSON.
std::string helperRequest(const Json& request, const AgentGrant& grant);

// Runs the privileged helper with `helperRequest` and reports how it ended. Called on the UI
// thread (inside the elevated hop); blocks until the helper has exited.
using HelperLauncher = std::function<ProcessResult(const std::string& helperRequest)>;

// The real launcher: this executable with "--privileged-op" and the request, as root through
// the administrator authorisation prompt (pkexec), no shell. Throws "Administrator helper
// script could not be created" when this executable's path is unknown.
HelperLauncher administratorHelperLauncher();

// The same launcher for the tamber executable at the absolute path `executable` (tests run
// the built one from their own process).
HelperLauncher administratorHelperLauncher(std::string executable);

// Runs `command` with /bin/sh -c, without any elevation; reported as a launcher run.
ProcessResult runUnprivilegedShell(const std::string& command);

// Launches the helper for `request` under `grant` and returns the decoded reply; throws as
// decodePrivilegedReply does.
Json elevated(const Json& request, const AgentGrant& grant, const HelperLauncher& launch);

// The whole elevated path of one request that already passed preflight, run on the UI
// thread: asks `approver` (a refusal answers "Elevated action denied"), looks `token` up
// again in `grants` (a grant revoked or expired meanwhile answers the store's failure), then
// launches the helper with the copy `grant` taken before the dialog. Nothing is launched
// unless both checks pass. Always returns a reply; every failure becomes the failure envelope.
Json runElevatedRequest(const Json& request, const std::string& token, const AgentGrant& grant,
                        const GrantStore& grants, ElevatedApprover& approver,
                        const HelperLauncher& launch) noexcept;

}  // namespace tamber
