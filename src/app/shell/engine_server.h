#pragma once

#include <string>
#include <vector>

typedef struct _GSubprocess GSubprocess;

namespace tamber::desktop {

// The engine server that this desktop started, if any. An engine that was already running
// when the desktop came up is never owned here and so never stopped by it.
//
// Threads: the UI thread only.
class EngineServer {
 public:
  EngineServer() = default;
  ~EngineServer();  // forgets the process; it keeps running
  EngineServer(const EngineServer&) = delete;
  EngineServer& operator=(const EngineServer&) = delete;

  // Starts `engine` with `arguments` (the program itself not included), the environment
  // inherited, standard input from /dev/null, and standard output and error both appended to
  // `logPath` (created when missing, never truncated). Throws a std::runtime_error with the
  // system's text when the log cannot be opened or the process cannot be started; nothing is
  // owned then. Call at most once.
  void start(const std::string& engine, const std::vector<std::string>& arguments,
             const std::string& logPath);

  // True once start() succeeded.
  bool started() const { return process_ != nullptr; }

  // The started process's id, or -1.
  int pid() const { return pid_; }

  // Asks the started engine to end (SIGTERM) if it is still running; does not wait. The
  // process is reaped by GLib when it ends, so the signal never reaches a reused id.
  void terminate();

 private:
  GSubprocess* process_ = nullptr;
  int pid_ = -1;
};

}  // namespace tamber::desktop
