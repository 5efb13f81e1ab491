#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/grant.h"
#include "agent/agent_server.h"
#include "desktop/engine_process.h"
#include "platform/unique_fd.h"

namespace tamber::desktop {

inline constexpr const char* kLockName = "native.lock";
inline constexpr const char* kEngineLogName = "desktop-engine.log";
inline constexpr const char* kAlreadyRunning = "Tamber is already running for this catalog";
inline constexpr const char* kCouldNotStartTitle = "Tamber could not start";

// What the desktop owns besides its window: the private data directory, the catalog lock
// that keeps a second copy away from it, the grant store, the agent socket and the engine
// server it started. open() is the launch, close() the quit.
//
// Threads: the UI thread only (the agent server serves on its own thread).
class DesktopSession {
 public:
  // `dataDirectory` as the environment names it; `approver` shows elevated approvals and
  // must outlive the session (null: every elevated request is denied).
  DesktopSession(std::string dataDirectory, ElevatedApprover* approver);
  ~DesktopSession();  // calls close()
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // The launch: creates the data directory (and its parents) if needed, requires it to be
  // the user's own and no symbolic link and sets it to 0700 (makeDataDirectoryPrivate's
  // sentences otherwise), takes the lock on "native.lock" (opened without following a link, created
  // 0600), and starts the agent socket. Throws BrokerFailure kAlreadyRunning when the lock cannot
  // be opened or is held, and the failure's own text (system or agent socket) otherwise. Call once;
  // after a failure only close() remains.
  void open();

  // Starts the engine server with its output appended to "desktop-engine.log"; throws as
  // EngineProcess::start does.
  void startEngine(const std::string& engine, const std::vector<std::string>& arguments);

  // The quit, idempotent: revokes every grant, asks an engine this session started to end
  // (without waiting), stops the agent socket and removes "agent.sock" (only if this session
  // set it up: a copy that lost the lock leaves the running copy's socket alone), and closes
  // the lock, which releases it; "native.lock" stays.
  void close();

  GrantStore& grants() { return grants_; }
  const std::string& dataDirectory() const { return dataDirectory_; }
  const EngineProcess& engine() const { return engine_; }

 private:
  std::string dataDirectory_;
  ElevatedApprover* approver_;
  GrantStore grants_;
  UniqueFd lockFD_;
  std::optional<AgentServer> server_;
  EngineProcess engine_;
  bool closed_ = false;
};

// Creates `path` and any missing parents (mode 0777 less the umask); an existing directory
// is no failure. Throws BrokerFailure with the system's text.
void createDirectories(const std::string& path);

}  // namespace tamber::desktop
