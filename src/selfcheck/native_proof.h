#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "base/reply.h"

namespace tamber {

// Evaluated in the main frame of the engine's page; its result is one JSON text.
inline constexpr const char* kDomProbeScript =
    "JSON.stringify({title:document.title,invite:!!document.querySelector('#invite-agent'),"
    "ordinary:!!document.querySelector('#grant-ordinary'),elevated:!!document.querySelector('#"
    "grant-elevated'),rows:document.querySelectorAll('.entry').length,indexed:document."
    "querySelector('#indexed')?.textContent})";

// How a failed proof run is told on standard error.
inline constexpr const char* kNativeFailurePrefix = "Native fixture failure: ";

// The parts of a proof run that need the running application. Each throws its own failure.
struct NativeProofSteps {
  // The index-only invitation text (no grant attached).
  std::function<std::string()> invitation;
  // The agent client proof's report.
  std::function<Json()> agentClientProof;
  // Whether the grant store is empty now.
  std::function<bool()> noGrants;
};

// Judges the DOM probe's result: `result` is the string the page returned (nullopt when the
// evaluation gave nothing or no string). Returns the parsed object, as the page returned it.
// Throws BrokerFailure "Native renderer did not produce DOM proof" for no result or JSON that
// is no object, the JSON parser's error for text that is no JSON, and "Native app must show
// the actual indexed UI and access controls" unless "title" is the string "Tamber",
// "invite", "ordinary" and "elevated" are each true and "rows" is an integer above 0.
Json domProof(const std::optional<std::string>& result);

// Throws BrokerFailure "Invitation missing agent instructions" unless `invitation` holds both
// "CLI:" and "TAMBER_GRANT".
void requireAgentInstructions(const std::string& invitation);

// The report of a successful run: exactly "agent_broker", "passed", "native_window",
// "web_kit_rendered", "invitation_generated", "file_grants_default_none", "fixture_only" and
// "os_auth_ui_verified" (always false: the administrator prompt is never shown here).
Json nativeProofReport(const Json& webKitRendered, const Json& agentBroker, bool noGrants);

// Everything of a run after the page has answered the probe with `domResult`, in order:
// judges it, checks the invitation, runs the agent client proof, builds the report and
// writes it (sorted compact JSON) to `reportPath`, replacing any file there. Returns the
// report. Throws the first failure; nothing is written then. The caller's thread blocks
// while the steps run their command lines.
Json completeNativeProof(const std::optional<std::string>& domResult, const std::string& reportPath,
                         const NativeProofSteps& steps);

// Where the page's snapshot goes: the report path with ".png" added to the whole of it.
std::string proofSnapshotPath(const std::string& reportPath);

// The one line that tells a failed run: the prefix, the failure's own text, a line feed.
std::string nativeFailureLine(const std::exception& failure);

}  // namespace tamber
