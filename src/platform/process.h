#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace tamber {

// Variables to set (a value) or to remove (nullopt) in a child's environment, which is
// otherwise this process's own.
using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Where one of a child's standard streams leads.
struct ChildStream {
  enum class Kind { nullDevice, inherited, pipe, descriptor };
  Kind kind = Kind::nullDevice;
  int fd = -1;  // for `descriptor`: the caller's descriptor the child gets a copy of

  static ChildStream toNullDevice() { return {}; }
  static ChildStream inherit() { return {Kind::inherited, -1}; }
  static ChildStream toPipe() { return {Kind::pipe, -1}; }
  static ChildStream to(int fd) { return {Kind::descriptor, fd}; }
};

struct ChildOptions {
  EnvironmentChanges environment;
  ChildStream input;   // standard input
  ChildStream output;  // standard output
  ChildStream errors;  // standard error
};

// The one way Tamber starts programs: posix_spawn of the absolute path argv[0] (no PATH
// search, no shell) with argv as its argument vector. The child gets exactly its three
// standard streams as `options` says and no other descriptor, default handling for the usual
// signals and an empty signal mask, whatever this process has set: descriptors that libraries
// opened without O_CLOEXEC, or ignored and blocked signals, must not change what a child
// (possibly running as root) sees or how it ends.
//
// The object owns the child until it has been reaped, and the parent ends of its pipes. The
// child is never signalled after it was reaped, so a signal never reaches a reused process
// id. Destruction stops a child still running (SIGTERM, then SIGKILL after a second) unless
// it was detached. Use from one thread at a time.
class ChildProcess {
 public:
  // Starts the child; startError() says whether that worked.
  ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // 0 once started; otherwise the error number of the step that failed (a missing or
  // non-executable program included), and there is no child.
  int startError() const { return startError_; }
  pid_t pid() const { return pid_; }

  // The parent's ends of the streams that lead to pipes (-1 for the others): write the
  // child's input, read its output and errors. The child keeps no copy of them.
  UniqueFd& input() { return input_; }
  UniqueFd& output() { return output_; }
  UniqueFd& errors() { return errors_; }

  // True while the child has not ended; reaps it when it has.
  bool running();

  // Sends `signal` unless the child has been reaped.
  void signal(int signal);

  // Waits for the end and returns the exit status (0 to 255, or 128 + the signal number);
  // nullopt when `limit` passes first (the child keeps running) or the child was never
  // started or already reaped by someone else.
  std::optional<int> wait(std::optional<std::chrono::milliseconds> limit = std::nullopt);

  // SIGTERM, up to `grace` for the end, then SIGKILL; returns the exit status as wait() does.
  std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::seconds(1));

  // Forgets the child: it keeps running after this object is gone.
  void detach() { pid_ = -1; }

  // The child's peak resident memory in KiB, once this object has reaped it; 0 before.
  long peakResidentKilobytes() const { return peakResidentKilobytes_; }

 private:
  // Reaps the child if it has ended (or, with `block`, once it ends); true when it is gone.
  bool reap(bool block);

  pid_t pid_ = -1;
  int startError_ = 0;
  std::optional<int> status_;
  long peakResidentKilobytes_ = 0;
  UniqueFd input_;
  UniqueFd output_;
  UniqueFd errors_;
};

// Largest output kept of one run; the rest is read and dropped, so the child never blocks
// on a full pipe.
inline constexpr size_t kMaxCapturedOutput = 16 * 1024 * 1024;

struct ProcessOptions {
  EnvironmentChanges environment;
  enum class Errors { inherit, discard, capture };
  Errors errors = Errors::inherit;  // the child's standard error
  // Counted from the start, for reading the output to its end and waiting for the exit; when
  // it passes the child is killed (SIGKILL) and reaped before runProcess returns.
  std::optional<std::chrono::milliseconds> timeLimit;
};

// What a finished run left behind.
struct ProcessResult {
  ProcessResult() = default;
  ProcessResult(int status, std::string output) : status(status), output(std::move(output)) {}

  // The exit status (0 to 255); 128 + the signal number when a signal ended the child; 127
  // when it could not be started at all (the shell's convention), and -1 when its end could
  // not be observed (it timed out, or something else in this process reaped it).
  int status = 0;
  std::string output;  // standard output, at most kMaxCapturedOutput bytes
  std::string errors;  // standard error, when captured
  int startError = 0;  // the error number when it could not be started
  bool timedOut = false;
};

// Runs argv as ChildProcess does, with /dev/null as standard input and its output captured,
// to its end (or the time limit). Blocks the calling thread; safe on any thread.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace tamber
