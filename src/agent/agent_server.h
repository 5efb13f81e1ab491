#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "access/grant.h"
#include "actions/preflight.h"
#include "activity/journal_writer.h"
#include "agent/audit_log.h"
#include "agent/elevated.h"
#include "base/reply.h"
#include "base/request_view.h"
#include "platform/unique_fd.h"

namespace tamber {

// The socket's file name inside the data directory.
inline constexpr const char* kAgentSocketName = "agent.sock";

// Largest request accepted, newline included.
inline constexpr size_t kRequestLimit = 65536;

// The defaults are the broker's values; tests shorten the timeouts and replace the launcher.
struct AgentServerOptions {
  // Longest wait for the next bytes of a request; when it passes, what arrived is the request.
  std::chrono::milliseconds readTimeout = std::chrono::seconds(5);
  // Longest time one connection may spend sending its request; when it passes, the request
  // is answered "Request timed out", so a client that trickles bytes cannot hold the broker.
  std::chrono::milliseconds requestTimeLimit = std::chrono::seconds(10);
  // Runs the privileged helper for approved elevated requests; empty means the real one
  // (administratorHelperLauncher). Tests substitute their own.
  HelperLauncher launchHelper;
};

// The agent broker: the private Unix socket "agent.sock" in the data directory and the one
// thread ("AgentBroker") that serves its connections strictly one after another. Each
// connection carries one JSON request and gets one JSON reply, then is closed. Every request
// the audit log records also goes to the activity journal (activity/journal.h), with what a
// change left on disk; the journal's own thread writes it, and the end of each revoked grant
// too, while the server runs.
//
// Threads: construct, start, stop and destroy on one owner thread (the desktop's UI thread, or
// a test). Requests are served on the broker thread; elevated ones hop to the UI thread
// through the approver.
class AgentServer {
 public:
  // `dataDirectory` is the private folder (mode 0700, created by the caller) that holds the
  // socket, the audit log and the activity journal. `grants` is shared with the caller and
  // must outlive the server; while it runs the server is its revocation listener, so revoke
  // grants on the owner thread.
  // `approver` shows the approval dialog for elevated requests; null runs headless, and every
  // elevated request that passes preflight is answered "Elevated action denied" (and audited).
  AgentServer(std::string dataDirectory, GrantStore& grants, ElevatedApprover* approver,
              AgentServerOptions options = {});
  AgentServer(const AgentServer&) = delete;
  AgentServer& operator=(const AgentServer&) = delete;

  // Calls stop().
  ~AgentServer();

  // Creates the socket and starts the broker thread; call at most once. Throws BrokerFailure:
  // "Private state path is too long for the local agent socket" (path of 104 bytes or more;
  // nothing created), the system's text when a leftover object at the socket's name cannot be
  // unlinked (a directory is never removed) or the wake-up pipe cannot be made, "Could not
  // create agent socket", or "Could not bind private agent socket". After a failure nothing is
  // left open and no socket file is left behind.
  void start();

  // Stops serving: wakes the broker thread (a request still being read is dropped without a
  // reply), waits for it to finish the request in hand, closes the socket and removes
  // agent.sock, then writes what the activity journal holds and stops it. Idempotent. Must not be
  // called from the broker thread. While an elevated request waits in runOnMainThread, the approver
  // must let that call return (with or without running its work) for stop() to return.
  void stop();

  // The socket's path: the data directory with "agent.sock" appended.
  const std::string& socketPath() const { return socketPath_; }

  // Returns once every request answered so far is in the activity journal (or lost, as its
  // status says). For tests and benchmarks; not from the broker thread.
  void flushJournal();

 private:
  void acceptLoop();
  void serveClient(int clientFD);
  // The reply's JSON text; the audit record and the journal's, when the request earns them,
  // are written (queued) first. A copy stops once the client on `clientFD` has gone.
  std::string answer(std::string_view requestBytes, int clientFD);
  // The failure reply of a refused request; journals the change it left, if any.
  std::string refused(const std::string& why, const RequestView& request,
                      std::shared_ptr<const AgentGrant> grant,
                      std::optional<CheckedAction>& admitted, ChangeProof&& proof);
  // Hands the journal the record of an answered request.
  void journal(std::shared_ptr<const AgentGrant> grant, CheckedAction&& admitted, bool ok,
               ChangeProof&& proof);

  enum class ReadEnd { Request, TimeLimit, Stopping };
  ReadEnd readRequest(int clientFD, std::string& request);

  std::string dataDirectory_;
  std::string socketPath_;
  GrantStore& grants_;
  ElevatedApprover* approver_;
  AgentServerOptions options_;

  AuditLog audit_;                            // written only from the broker thread
  std::unique_ptr<ActivityJournal> journal_;  // while the broker runs
  const uid_t owner_ = ::getuid();            // the one user the broker serves
  std::atomic<bool> stopping_{false};
  UniqueFd socketFD_;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::thread broker_;
};

}  // namespace tamber
