#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "access/grant.h"
#include "base/reply.h"

namespace tamber {

// Longest time one run of the agent command line may take.
inline constexpr std::chrono::milliseconds kAgentCallLimit{10000};

inline constexpr const char* kFixtureFileName = "agent-fixture.txt";
inline constexpr const char* kFixtureContent = "agent fixture";

// The engine's agent command line, as the proof runs it.
struct AgentCommandLine {
  std::string engine;         // absolute path of the larkspan executable
  std::string dataDirectory;  // the desktop's private data directory, passed as "--data"
  std::chrono::milliseconds limit = kAgentCallLimit;
};

// Runs `engine` "--data" DIR "--json" "agent" REQUEST once, REQUEST being `request` as compact
// sorted JSON (it carries no token), with this process's environment plus TAMBER_GRANT set to
// `token`, standard error discarded; reads its output to the end, waits for its exit and
// returns the reply object it printed. Throws BrokerFailure: the system's text when it cannot
// be started; "Agent CLI did not complete within N seconds" when it ran past `limit` (it was
// killed); "Agent CLI did not complete" for any exit status but 0; "Agent response missing"
// when the output is JSON but no object. Output that is no JSON at all throws the JSON
// parser's own error. Blocks the calling thread for at most about `limit`.
Json agentCall(const AgentCommandLine& commandLine, const Json& request, const std::string& token);

// Proves, through the real agent command line and the broker serving `grants` on the socket
// of `commandLine.dataDirectory`, that a view grant reads and cannot edit, an edit grant makes
// a verified copy, an elevated grant is refused a protected path before any approval, and a
// revoked token is refused. `fixtureRoot` is TAMBER_FIXTURE_ROOT as the caller read it
// (nullopt when absent). Writes "agent-fixture.txt" (13 bytes, over an earlier file; a
// symbolic link in its place is refused) and leaves it and its ".copy" in the folder; ends
// by revoking every grant in `grants`, the user's included.
//
// Returns the seven-member report object. Throws BrokerFailure with the first check that did
// not hold ("Fixture-only qualification" before anything is done when `fixtureRoot` is
// nullopt), the grant store's or the file system's failure, or agentCall's; grants added
// before a failure stay in the store. Call from a thread that the broker never waits for:
// the broker answers on its own thread while this blocks.
Json agentClientProof(GrantStore& grants, const std::optional<std::string>& fixtureRoot,
                      const AgentCommandLine& commandLine);

}  // namespace tamber
