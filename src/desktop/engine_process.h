#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace tamber::desktop {

// The engine process that this desktop started, if any. An engine that was already running
// when the desktop came up is never owned here and so never stopped by it.
//
// Threads: the UI thread only.
class EngineProcess {
 public:
  EngineProcess() = default;
  ~EngineProcess();  // forgets the process; it keeps running
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  // Starts `engine` with `arguments` (the program itself not included), the environment
  // inherited, standard input from /dev/null, and standard output and error both appended to
  // `logPath` (created when missing, never truncated, never through a link). Throws a
  // std::runtime_error with the system's text when the log cannot be opened or the process
  // cannot be started; nothing is owned then. Call at most once.
  void start(const std::string& engine, const std::vector<std::string>& arguments,
             const std::string& logPath);

  // True once start() succeeded.
  bool started() const { return child_.has_value(); }

  // The started process's id, or -1.
  int pid() const { return child_ ? child_->pid() : -1; }

  // Asks the started engine to end (SIGTERM) if it is still running; does not wait. An engine
  // that has already ended is reaped and never signalled, so the signal never reaches a
  // reused process id.
  void terminate();

 private:
  std::optional<ChildProcess> child_;
};

}  // namespace tamber::desktop
